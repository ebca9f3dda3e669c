#pragma once
#include <cstdint>

namespace emulation {

// major.minor.patch, each one byte on the wire.
struct FirmwareVersion {
    std::uint8_t major = 1;
    std::uint8_t minor = 0;
    std::uint8_t patch = 0;
    bool operator==(const FirmwareVersion&) const = default;
};

} // namespace emulation
