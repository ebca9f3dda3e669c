#pragma once
// Standard MIDI File bytes to and from sequence content. Internal to platform/sequence.
#include "platform/sequence/SequenceStore.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace platform::sequence {

struct SequenceContent {
    TrackEvents tempo;
    std::vector<TrackEvents> tracks;
    std::int16_t timeResolution = 480;
};

// Formats 0, 1 and 2 with ticks per quarter note. Refuses (none) anything malformed: a bad header,
// a chunk or event running past its end, SMPTE time, a data byte without running status, an
// unknown status. Unknown chunks are skipped. Notes pair each note on with the first following
// note off of the same key and channel; one left sounding ends at its track's end.
std::optional<SequenceContent> readStandardMIDIFile(std::span<const std::uint8_t> bytes);

// Format 1: the tempo track first, then one chunk per track, at the given ticks per quarter note.
std::vector<std::uint8_t> writeStandardMIDIFile(const SequenceContent& content,
                                                std::uint16_t ticksPerQuarter);

} // namespace platform::sequence
