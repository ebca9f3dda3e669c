#pragma once
// Pitches of the 128 keys as the tuning messages carry them: a semitone and a 14-bit fraction.
#include <array>
#include <cstdint>

namespace emulation {

struct TuningTable {
    struct Pitch {
        std::uint8_t semitone = 0;
        std::uint16_t fraction = 0; // 1/16384 semitone, 14 bits
        bool operator==(const Pitch&) const = default;
    };

    std::array<Pitch, 128> keys{};

    static TuningTable equalTempered();
    // Each key raised by the cents of its pitch class (index 0 = C), as a historical temperament
    // would; every offset lies within 0 to 99.99 cents.
    static TuningTable fromPitchClassCents(const std::array<double, 12>& cents);

    bool operator==(const TuningTable&) const = default;
};

} // namespace emulation
