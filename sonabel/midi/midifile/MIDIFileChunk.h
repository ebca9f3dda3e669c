#pragma once
// What every chunk of a Standard MIDI File has: an 8-byte head (four-character type, big-endian
// 32-bit body length) and the body. Header and track chunks derive from it.
#include "sonabel/midi/MIDIByte.h"
#include "sonabel/midi/midifile/MIDIFileChunkType.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace sonabel {

struct MIDIFileChunk {
    // The whole chunk, head included.
    std::vector<MIDIByte> rawData;

    // Bytes 0-3, 4-7 and 8 onward of rawData; shorter (or empty) when rawData is.
    std::vector<MIDIByte> typeData() const;
    std::vector<MIDIByte> lengthData() const;
    std::vector<MIDIByte> data() const;

    std::optional<MIDIFileChunkType> type() const;
    // lengthData as an unsigned big-endian number.
    std::int64_t length() const;
    bool isHeader() const { return type() == MIDIFileChunkType::header; }
    bool isTrack() const { return type() == MIDIFileChunkType::track; }
    bool isNotTooShort() const { return rawData.size() >= 8; }
    bool isLengthCorrect() const { return static_cast<std::int64_t>(body().size()) == length(); }
    bool isValid() const { return isNotTooShort() && isLengthCorrect(); }
    bool isNotValid() const { return !isValid(); }

    bool operator==(const MIDIFileChunk&) const = default;

protected:
    std::span<const MIDIByte> body() const;
    // The bytes of a valid chunk of the given type at the start of `data` (which may run on past
    // it); none when there are fewer than 9 bytes, the length runs past the end or the type differs.
    // Nothing is copied before the length is known to fit.
    static std::optional<std::vector<MIDIByte>> chunkBytes(std::span<const MIDIByte> data,
                                                           MIDIFileChunkType expected);
};

} // namespace sonabel
