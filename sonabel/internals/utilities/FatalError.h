#pragma once
#include <string_view>

namespace sonabel {

// Stops the process for a programming error, with the message on stderr.
[[noreturn]] void fatalError(std::string_view message);

} // namespace sonabel
