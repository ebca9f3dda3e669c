#include "sonabel/midi/MIDIStatus.h"

#include "sonabel/midi/MIDISystemCommand.h"

namespace sonabel {

std::optional<MIDIStatus> MIDIStatus::make(MIDIByte statusByte) {
    if (!MIDIStatusType::from(statusByte)) return std::nullopt;
    return MIDIStatus(statusByte);
}

int MIDIStatus::length() const {
    const auto statusType = type();
    return statusType ? statusType->length() : 0;
}

std::string MIDIStatus::description() const {
    if (const auto statusType = type()) {
        return statusType->description() + " channel " + std::to_string(channel());
    }
    if (const auto command = MIDISystemCommand::make(byte)) return "Command: " + command->description();
    return "Invalid message";
}

} // namespace sonabel
