#pragma once
// An "MTrk" chunk and the cutting of its body into events.
#include "sonabel/midi/MIDITimeFormat.h"
#include "sonabel/midi/midifile/MIDIFileChunk.h"
#include "sonabel/midi/midifile/MIDIFileChunkEvent.h"

#include <optional>
#include <span>
#include <vector>

namespace sonabel {

struct MIDIFileTrackChunk : MIDIFileChunk {
    MIDITimeFormat timeFormat = MIDITimeFormat::ticksPerBeat;
    // Ticks per beat for positions of the events.
    int timeDivision = 480;

    // None unless `data` starts with a whole, valid "MTrk" chunk. Positions are always counted at
    // 480 ticks per beat, whatever the file's header says.
    static std::optional<MIDIFileTrackChunk> make(std::span<const MIDIByte> data);

    // The body's events in file order, with running status resolved. Meta events of any type and
    // F7 events are whole events that end running status. A byte that cannot start an event is
    // logged and ends the walk; the events before it are kept.
    std::vector<MIDIFileChunkEvent> parseTrackEvents() const;

    bool operator==(const MIDIFileTrackChunk&) const = default;
};

} // namespace sonabel
