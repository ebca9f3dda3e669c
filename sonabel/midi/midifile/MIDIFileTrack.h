#pragma once
// One track of a MIDI file as messages and meta events positioned in beats. Everything is read
// from the chunk's bytes on each call.
#include "sonabel/midi/MIDICustomMetaEvent.h"
#include "sonabel/midi/MIDIEvent.h"
#include "sonabel/midi/midifile/MIDIFileTrackChunk.h"

#include <optional>
#include <string>
#include <vector>

namespace sonabel {

struct MIDIFileTrack {
    MIDIFileTrackChunk chunk;

    // Channel and system exclusive messages, status byte restored under running status.
    std::vector<MIDIEvent> events() const;
    // Those of `events` with a status 80...EF.
    std::vector<MIDIEvent> channelEvents() const;
    std::vector<MIDICustomMetaEvent> metaEvents() const;
    // Position of the last meta event (normally End of Track); 0 without one.
    double length() const;
    // Text of the first track-name event; none without one or when it is not UTF-8.
    std::optional<std::string> name() const;

    bool operator==(const MIDIFileTrack&) const = default;
};

} // namespace sonabel
