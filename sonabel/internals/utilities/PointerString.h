#pragma once
#include <string>

namespace sonabel {

// An object's address as "0x" and 16 lower-case hexadecimal digits.
std::string pointerString(const void* object);

} // namespace sonabel
