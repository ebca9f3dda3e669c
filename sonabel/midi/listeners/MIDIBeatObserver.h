#pragma once
#include "platform/midi/MIDITypes.h"

#include <cstdint>

namespace sonabel {

// Hears the beats a MIDIClockListener counts from an incoming clock. Called on the MIDI server's
// thread.
class MIDIBeatObserver {
public:
    virtual ~MIDIBeatObserver() = default;
    // True for Continue, false for Start.
    virtual void srtWillStart(bool /*continuing*/) {}
    // The first quarter note after Start or Continue; true when the transport was continued.
    virtual void firstBeatReceived(bool /*continued*/) {}
    virtual void srtDidStop() {}
    // The first clock of each song-position beat (6 clocks) while playing.
    virtual void songPositionBeatReceived(std::uint64_t /*beat*/) {}
    // Every clock, also while not playing. quarterNote is 1...4 (0 before the first after Start).
    virtual void quantumReceived(MIDITimeStamp /*time*/, std::uint8_t /*quarterNote*/,
                                 std::uint64_t /*songPositionBeat*/, std::uint64_t /*quantum*/) {}
    // The first clock of each quarter note while playing: 1...4.
    virtual void quarterNoteReceived(std::uint8_t /*quarterNote*/) {}
};

} // namespace sonabel
