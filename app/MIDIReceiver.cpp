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

void MIDIReceiver::receivedMIDISystemCommand(const std::vector<sonabel::MIDIByte>& data,
                                             std::optional<MIDIUniqueID>, std::optional<MIDITimeStamp>) {
    center_.post("SysexGet", {{"data", std::vector<std::uint8_t>(data.begin(), data.end())}});
}

void MIDIReceiver::receivedMIDISetupChange() {
    center_.post("SetupUpdate");
}

} // namespace malvo
