#include "sonabel/midi/midifile/MIDIFileChunkEvent.h"

#include "sonabel/midi/MIDISystemCommand.h"
#include "sonabel/midi/MIDIVariableLengthQuantity.h"

namespace sonabel {

namespace {
std::size_t deltaTimeSize(const std::vector<MIDIByte>& data) {
    return static_cast<std::size_t>(MIDIVariableLengthQuantity::read(data).first);
}
} // namespace

std::int64_t MIDIFileChunkEvent::deltaTime() const {
    return MIDIVariableLengthQuantity::read(data).second;
}

std::vector<MIDIByte> MIDIFileChunkEvent::eventData() const {
    return {data.begin() + static_cast<std::ptrdiff_t>(deltaTimeSize(data)), data.end()};
}

std::vector<MIDIByte> MIDIFileChunkEvent::computedData() const {
    std::vector<MIDIByte> message;
    message.reserve(data.size() + 1);
    if (runningStatus) message.push_back(*runningStatus);
    message.insert(message.end(), data.begin() + static_cast<std::ptrdiff_t>(deltaTimeSize(data)),
                   data.end());
    return message;
}

std::optional<double> MIDIFileChunkEvent::positionInBeats() const {
    if (timeFormat != MIDITimeFormat::ticksPerBeat) return std::nullopt;
    return (static_cast<double>(timeOffset) + static_cast<double>(deltaTime())) / timeDivision;
}

std::optional<std::size_t> MIDIFileChunkEvent::typeIndex() const {
    const std::size_t at = deltaTimeSize(data);
    if (at >= data.size()) return std::nullopt;
    const MIDIByte kind = data[at];
    if (kind == 0xFF && at + 1 < data.size()) return at + 1;
    if ((kind >= 0x80 && kind < 0xF0) || MIDISystemCommand::make(kind)) return at;
    return std::nullopt;
}

} // namespace sonabel
