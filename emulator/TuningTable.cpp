#include "emulator/TuningTable.h"

namespace emulation {

TuningTable TuningTable::equalTempered() {
    TuningTable table;
    for (int key = 0; key < 128; ++key)
        table.keys[key] = {static_cast<std::uint8_t>(key), 0};
    return table;
}

TuningTable TuningTable::fromPitchClassCents(const std::array<double, 12>& cents) {
    TuningTable table;
    for (int key = 0; key < 128; ++key) {
        const double offset = cents[key % 12];
        const auto fraction = offset <= 0.0 ? 0 : static_cast<int>(offset * 163.84);
        table.keys[key] = {static_cast<std::uint8_t>(key), static_cast<std::uint16_t>(fraction & 0x3FFF)};
    }
    return table;
}

} // namespace emulation
