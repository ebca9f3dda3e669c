#pragma once
// The "MThd" chunk: format, track count and time division.
#include "sonabel/midi/midifile/MIDIFileChunk.h"

#include <cstdint>
#include <optional>
#include <span>

namespace sonabel {

struct MIDIFileHeaderChunk : MIDIFileChunk {
    // Formats 0 (one track), 1 (a tempo track first) and 2 (independent tracks).
    static constexpr int kLastFormat = 2;

    // None unless `data` starts with a whole, valid "MThd" chunk of a known format.
    static std::optional<MIDIFileHeaderChunk> make(std::span<const MIDIByte> data);

    // Body bytes 0-1, 2-3 and 4-5, big-endian; a field the body is too short to hold reads 0.
    int format() const;
    int trackCount() const;
    std::uint16_t timeDivision() const;

    bool operator==(const MIDIFileHeaderChunk&) const = default;
};

} // namespace sonabel
