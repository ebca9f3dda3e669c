#pragma once
// Receives what the MIDI object's inputs deliver and the changes of the MIDI setup. Every
// operation has an empty default, so a listener implements only what it needs. Called on the MIDI
// server's delivery thread: work for another thread must be handed on by the listener.
#include "platform/midi/MIDITypes.h"
#include "sonabel/midi/MIDIByte.h"

#include <optional>
#include <vector>

namespace sonabel {

class MIDIListener {
public:
    virtual ~MIDIListener() = default;

    // Velocity 0 stays a note on.
    virtual void receivedMIDINoteOn(MIDINoteNumber /*noteNumber*/, MIDIVelocity /*velocity*/,
                                    MIDIChannel /*channel*/, std::optional<MIDIUniqueID> /*portID*/,
                                    std::optional<MIDITimeStamp> /*timeStamp*/) {}
    virtual void receivedMIDINoteOff(MIDINoteNumber /*noteNumber*/, MIDIVelocity /*velocity*/,
                                     MIDIChannel /*channel*/, std::optional<MIDIUniqueID> /*portID*/,
                                     std::optional<MIDITimeStamp> /*timeStamp*/) {}
    virtual void receivedMIDIController(MIDIByte /*controller*/, MIDIByte /*value*/, MIDIChannel /*channel*/,
                                        std::optional<MIDIUniqueID> /*portID*/,
                                        std::optional<MIDITimeStamp> /*timeStamp*/) {}
    // Polyphonic aftertouch.
    virtual void receivedMIDIAftertouch(MIDINoteNumber /*noteNumber*/, MIDIByte /*pressure*/,
                                        MIDIChannel /*channel*/, std::optional<MIDIUniqueID> /*portID*/,
                                        std::optional<MIDITimeStamp> /*timeStamp*/) {}
    // Channel aftertouch.
    virtual void receivedMIDIAftertouch(MIDIByte /*pressure*/, MIDIChannel /*channel*/,
                                        std::optional<MIDIUniqueID> /*portID*/,
                                        std::optional<MIDITimeStamp> /*timeStamp*/) {}
    // The 14-bit value, data1 + (data2 << 7).
    virtual void receivedMIDIPitchWheel(MIDIWord /*pitchWheelValue*/, MIDIChannel /*channel*/,
                                        std::optional<MIDIUniqueID> /*portID*/,
                                        std::optional<MIDITimeStamp> /*timeStamp*/) {}
    virtual void receivedMIDIProgramChange(MIDIByte /*program*/, MIDIChannel /*channel*/,
                                           std::optional<MIDIUniqueID> /*portID*/,
                                           std::optional<MIDITimeStamp> /*timeStamp*/) {}
    // Every system message, SysEx whole from F0 to F7.
    virtual void receivedMIDISystemCommand(const std::vector<MIDIByte>& /*data*/,
                                           std::optional<MIDIUniqueID> /*portID*/,
                                           std::optional<MIDITimeStamp> /*timeStamp*/) {}
    virtual void receivedMIDISetupChange() {}
    // The property name points into the server's record: copy it to keep it.
    virtual void receivedMIDIPropertyChange(MIDIObjectPropertyChangeNotification /*propertyChangeInfo*/) {}
    virtual void receivedMIDINotification(MIDINotification /*notification*/) {}
};

} // namespace sonabel
