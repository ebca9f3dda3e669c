#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace sonabel {

// Creates, as an empty file, the first path of candidate(first) ... candidate(last) that nothing
// occupies, exclusively: of two processes or threads asking at once only one gets a path, the other
// goes on to the next number. A candidate of none is skipped. None when every path is taken or a
// file cannot be created there (errno tells why).
std::optional<std::string>
reserveFreeFile(std::int64_t first, std::int64_t last,
                const std::function<std::optional<std::string>(std::int64_t)>& candidate);

} // namespace sonabel
