#pragma once
// One note of a track with its start and end, as the track note map pairs them.
namespace sonabel {

class MIDINoteDuration {
public:
    double noteStartTime = 0.0;
    double noteEndTime = 0.0;
    double noteDuration = 0.0;
    int noteNumber = 0;
    int noteNumberMap = 0;
    int noteRange = 0;

    MIDINoteDuration(double noteOnPosition, double noteOffPosition, int noteNumber)
        : noteStartTime(noteOnPosition), noteEndTime(noteOffPosition),
          noteDuration(noteOffPosition - noteOnPosition), noteNumber(noteNumber) {}
};

} // namespace sonabel
