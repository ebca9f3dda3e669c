#pragma once
#include <string>

namespace sonabel {

// Hears what a MIDITempoListener learns of an incoming clock.
class MIDITempoObserver {
public:
    virtual ~MIDITempoObserver() = default;
    // A clock arrived while none was active: the system now follows it. MIDI server's thread.
    virtual void incomingClockStarted() {}
    // At the tempo listener's creation and after the incoming clock went silent (main queue): the
    // system may lead the clock.
    virtual void midiClockLeaderEnabled() {}
    // The tempo as text ("120.06") changed. MIDI server's thread.
    virtual void receivedTempo(double /*bpm*/, const std::string& /*label*/) {}
};

} // namespace sonabel
