#pragma once
// A variable-length quantity of Standard MIDI Files: seven bits per byte, most significant group
// first, the top bit set on every byte but the last. Delta times and lengths are read this way.
#include "sonabel/midi/MIDIByte.h"

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace sonabel {

struct MIDIVariableLengthQuantity {
    // (bytes the quantity spans, its value)
    using Result = std::pair<std::int64_t, std::uint32_t>;

    std::vector<MIDIByte> data;
    Result vlqResult{0, 0};

    // The quantity at the start of the bytes. It ends at the first byte with its top bit clear, or
    // at the last byte whatever its top bit; there is no four-byte limit and only the low 32 bits
    // of the value remain. No bytes give (0, 0).
    static Result read(std::span<const MIDIByte> bytes);
    // None for no bytes.
    static std::optional<MIDIVariableLengthQuantity> make(std::span<const MIDIByte> data);

    std::uint32_t quantity() const { return vlqResult.second; }

    bool operator==(const MIDIVariableLengthQuantity&) const = default;
};

} // namespace sonabel
