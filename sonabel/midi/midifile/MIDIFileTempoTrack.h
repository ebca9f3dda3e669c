#pragma once
// The first track of a format-1 file, read for its tempo.
#include "sonabel/midi/MIDIByte.h"
#include "sonabel/midi/midifile/MIDIFileTrack.h"

#include <optional>
#include <string>
#include <vector>

namespace sonabel {

struct MIDIFileTempoTrack {
    MIDIFileTrack track;
    // The first set-tempo event: FF 51, its length quantity and payload.
    std::vector<MIDIByte> tempoData;

    // None when the chunk has no set-tempo event.
    static std::optional<MIDIFileTempoTrack> make(const MIDIFileTrackChunk& trackChunk);

    // Beats per minute from the last three bytes of the payload, truncated to 4 decimals; 120 when
    // there is no tempo to read (a payload under three bytes, or zero microseconds per beat).
    float tempoBPM() const;

    double length() const { return track.length(); }
    std::optional<std::string> name() const { return track.name(); }
    std::vector<MIDIEvent> events() const { return track.events(); }
    std::vector<MIDICustomMetaEvent> metaEvents() const { return track.metaEvents(); }

    bool operator==(const MIDIFileTempoTrack&) const = default;
};

} // namespace sonabel
