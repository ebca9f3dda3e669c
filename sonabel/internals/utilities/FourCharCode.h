#pragma once
#include <cstdint>
#include <string_view>

namespace sonabel {

// The code of exactly four bytes, the first in the most significant byte. Any other length is a
// programming error and stops the process.
std::uint32_t fourCharCode(std::string_view text);

} // namespace sonabel
