#pragma once
// One key of a converted tuning: the equal-tempered key at or below its pitch, and the rest in
// 1/16384 semitone.
#include <cstdint>

namespace malvo {

struct mts_note_data {
    // Wider than the dump's byte: a wide scale can put keys near the top of the keyboard past
    // semitone 127, and the computed value is kept (the dump then says "no pitch" for them).
    int semi = 0;
    std::uint16_t cents = 0;

    bool operator==(const mts_note_data&) const = default;
};

} // namespace malvo
