#include "app/MIDIReceiver.h"

#include <cstdint>

namespace malvo {

std::shared_ptr<MIDIReceiver> MIDIReceiver::shared() {
    static const auto receiver = std::make_shared<MIDIReceiver>();
    return receiver;
}

void MIDIReceiver::receivedMIDIController(sonabel::MIDIByte controller, sonabel::MIDIByte value,
                                          sonabel::MIDIChannel channel, std::optional<MIDIUniqueID>,
                                          std::optional<MIDITimeStamp>) {
    center_.post(
        "CCGet",
        {{"cc", std::uint8_t(controller)}, {"val", std::uint8_t(value)}, {"ch", std::uint8_t(channel)}});
}

void MIDIReceiver::postMessage(std::uint8_t kind, sonabel::MIDIChannel channel) {
    center_.post("MessageGet", {{"status", std::uint8_t(kind | (channel & 0x0F))}});
}

void MIDIReceiver::receivedMIDINoteOn(sonabel::MIDINoteNumber, sonabel::MIDIVelocity,
                                      sonabel::MIDIChannel channel, std::optional<MIDIUniqueID>,
                                      std::optional<MIDITimeStamp>) {
    postMessage(0x90, channel);
}

void MIDIReceiver::receivedMIDINoteOff(sonabel::MIDINoteNumber, sonabel::MIDIVelocity,
                                       sonabel::MIDIChannel channel, std::optional<MIDIUniqueID>,
                                       std::optional<MIDITimeStamp>) {
    postMessage(0x80, channel);
}

void MIDIReceiver::receivedMIDIAftertouch(sonabel::MIDINoteNumber, sonabel::MIDIByte,
                                          sonabel::MIDIChannel channel, std::optional<MIDIUniqueID>,
                                          std::optional<MIDITimeStamp>) {
    postMessage(0xA0, channel);
}

void MIDIReceiver::receivedMIDIAftertouch(sonabel::MIDIByte, sonabel::MIDIChannel channel,
                                          std::optional<MIDIUniqueID>, std::optional<MIDITimeStamp>) {
    postMessage(0xD0, channel);
}

void MIDIReceiver::receivedMIDIPitchWheel(sonabel::MIDIWord, sonabel::MIDIChannel channel,
                                          std::optional<MIDIUniqueID>, std::optional<MIDITimeStamp>) {
    postMessage(0xE0, channel);
}

void MIDIReceiver::receivedMIDIProgramChange(sonabel::MIDIByte, sonabel::MIDIChannel channel,
                                             std::optional<MIDIUniqueID>, std::optional<MIDITimeStamp>) {
    postMessage(0xC0, channel);
}

void MIDIReceiver::receivedMIDISystemCommand(const std::vector<sonabel::MIDIByte>& data,
                                             std::optional<MIDIUniqueID>, std::optional<MIDITimeStamp>) {
    center_.post("SysexGet", {{"data", std::vector<std::uint8_t>(data.begin(), data.end())}});
}

void MIDIReceiver::receivedMIDISetupChange() {
    center_.post("SetupUpdate");
}

} // namespace malvo
