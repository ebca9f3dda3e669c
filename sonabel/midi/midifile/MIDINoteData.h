#pragma once
// One note as the track editor reads it out of a track and writes it back.
#include "sonabel/midi/MIDIByte.h"
#include "sonabel/sequencing/Duration.h"

#include <string>

namespace sonabel {

struct MIDINoteData {
    MIDINoteNumber noteNumber;
    MIDIVelocity velocity;
    MIDIChannel channel;
    Duration duration;
    // From the start of the track.
    Duration position;

    // Five lines: "note: 60", "velocity: 100", "channel: 0", "duration: 1.0", "position: 2.5".
    std::string description() const;

    // Durations compare by beats only.
    bool operator==(const MIDINoteData&) const = default;
};

} // namespace sonabel
