#pragma once
// One event of a track chunk as it stands in the file (delta time first), with the running status
// and the tick time in force where it was read.
#include "sonabel/midi/MIDIByte.h"
#include "sonabel/midi/MIDITimeFormat.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace sonabel {

struct MIDIFileChunkEvent {
    // The delta-time quantity and the event's own bytes; under running status without the status.
    std::vector<MIDIByte> data;
    MIDITimeFormat timeFormat = MIDITimeFormat::ticksPerBeat;
    // Ticks per beat.
    int timeDivision = 480;
    // The status in force when the event was written without one.
    std::optional<MIDIByte> runningStatus;
    // Ticks of all earlier events of the track.
    std::int64_t timeOffset = 0;

    // The delta time at the start of `data`; 0 when it is empty.
    std::int64_t deltaTime() const;
    // `data` without the delta time.
    std::vector<MIDIByte> eventData() const;
    // The complete message: the running status, when there is one, then eventData.
    std::vector<MIDIByte> computedData() const;
    // (timeOffset + deltaTime) / timeDivision for ticks-per-beat events; none otherwise.
    std::optional<double> positionInBeats() const;
    // Index in `data` of the byte that tells the kind of event: the meta type after FF, a channel
    // status or a system byte. None for a data byte under running status and for F4, F5, F9, FD.
    std::optional<std::size_t> typeIndex() const;

    bool operator==(const MIDIFileChunkEvent&) const = default;
};

} // namespace sonabel
