#pragma once
// One firmware block as the instrument took it in, its data already joined from 7-bit halves.
#include <cstdint>
#include <vector>

namespace emulation {

struct FirmwareBlock {
    int number = 0; // counted from 1
    int count = 0;  // blocks of the whole file, as this block states it
    std::vector<std::uint8_t> data;
    bool operator==(const FirmwareBlock&) const = default;
};

} // namespace emulation
