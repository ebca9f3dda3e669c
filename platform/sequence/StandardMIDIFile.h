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
    // False when a track could not be read: the content holds the tracks before it.
    bool complete = true;
};

// Formats 0, 1 and 2, in ticks per quarter note or SMPTE time (read at 120 BPM, the file's tempo
// events ignored). Refuses (none) a bad header. A track that is cut short or malformed (a chunk or
// event running past its end, a body that ends before End of Track, a data byte without running
// status) ends the reading: the tracks
// before it are kept and the content is marked incomplete. So do fewer tracks than declared;
// unknown chunks are skipped. Notes pair each note on with the first following
// note off of the same key and channel; one left sounding ends at its track's end.
std::optional<SequenceContent> readStandardMIDIFile(std::span<const std::uint8_t> bytes);

// Format 1: the tempo track first, then one chunk per track, at the given ticks per quarter note.
std::vector<std::uint8_t> writeStandardMIDIFile(const SequenceContent& content,
                                                std::uint16_t ticksPerQuarter);

} // namespace platform::sequence
