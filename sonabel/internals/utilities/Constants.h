#pragma once
#include <cstdint>

namespace sonabel {

inline constexpr std::uint8_t noteOnStatusByte = 0x90;
inline constexpr std::uint8_t noteOffStatusByte = 0x80;
// Writable, readable and able to ramp: what every framework parameter definition uses.
inline constexpr std::uint32_t defaultParameterFlags = 0xC2000000;

} // namespace sonabel
