#pragma once
// The application's listener on its MIDI object: turns what the inputs deliver into notifications
// for the controller. Runs on the MIDI server's delivery thread and posts there, synchronously.
#include "platform/core/NotificationCenter.h"
#include "sonabel/midi/MIDIListener.h"

#include <memory>

namespace malvo {

class MIDIReceiver final : public sonabel::MIDIListener {
public:
    explicit MIDIReceiver(
        platform::NotificationCenter& center = platform::NotificationCenter::defaultCenter())
        : center_(center) {}

    // The process's receiver, made on first use.
    static std::shared_ptr<MIDIReceiver> shared();

    // "CCGet" with "cc", "val" and "ch", each a std::uint8_t.
    void receivedMIDIController(sonabel::MIDIByte controller, sonabel::MIDIByte value,
                                sonabel::MIDIChannel channel, std::optional<MIDIUniqueID> portID,
                                std::optional<MIDITimeStamp> timeStamp) override;
    // "MessageGet" with "status" (a std::uint8_t, the channel's in its low nibble) for the other
    // channel messages.
    void receivedMIDINoteOn(sonabel::MIDINoteNumber noteNumber, sonabel::MIDIVelocity velocity,
                            sonabel::MIDIChannel channel, std::optional<MIDIUniqueID> portID,
                            std::optional<MIDITimeStamp> timeStamp) override;
    void receivedMIDINoteOff(sonabel::MIDINoteNumber noteNumber, sonabel::MIDIVelocity velocity,
                             sonabel::MIDIChannel channel, std::optional<MIDIUniqueID> portID,
                             std::optional<MIDITimeStamp> timeStamp) override;
    void receivedMIDIAftertouch(sonabel::MIDINoteNumber noteNumber, sonabel::MIDIByte pressure,
                                sonabel::MIDIChannel channel, std::optional<MIDIUniqueID> portID,
                                std::optional<MIDITimeStamp> timeStamp) override;
    void receivedMIDIAftertouch(sonabel::MIDIByte pressure, sonabel::MIDIChannel channel,
                                std::optional<MIDIUniqueID> portID,
                                std::optional<MIDITimeStamp> timeStamp) override;
    void receivedMIDIPitchWheel(sonabel::MIDIWord pitchWheelValue, sonabel::MIDIChannel channel,
                                std::optional<MIDIUniqueID> portID,
                                std::optional<MIDITimeStamp> timeStamp) override;
    void receivedMIDIProgramChange(sonabel::MIDIByte program, sonabel::MIDIChannel channel,
                                   std::optional<MIDIUniqueID> portID,
                                   std::optional<MIDITimeStamp> timeStamp) override;
    // "SysexGet" with "data", the whole message as a std::vector<std::uint8_t>.
    void receivedMIDISystemCommand(const std::vector<sonabel::MIDIByte>& data,
                                   std::optional<MIDIUniqueID> portID,
                                   std::optional<MIDITimeStamp> timeStamp) override;
    // "SetupUpdate".
    void receivedMIDISetupChange() override;

private:
    void postMessage(std::uint8_t kind, sonabel::MIDIChannel channel);

    platform::NotificationCenter& center_;
};

} // namespace malvo
