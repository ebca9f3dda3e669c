#include "sonabel/midi/MIDIVariableLengthQuantity.h"

#include "platform/sequence/StandardMIDIFileWalker.h"

namespace sonabel {

MIDIVariableLengthQuantity::Result MIDIVariableLengthQuantity::read(std::span<const MIDIByte> bytes) {
    const auto quantity = platform::sequence::StandardMIDIFileWalker::quantity(bytes);
    return {static_cast<std::int64_t>(quantity.size), quantity.value};
}

std::optional<MIDIVariableLengthQuantity> MIDIVariableLengthQuantity::make(std::span<const MIDIByte> data) {
    if (data.empty()) return std::nullopt;
    const Result result = read(data);
    const auto count = static_cast<std::size_t>(result.first);
    return MIDIVariableLengthQuantity{std::vector<MIDIByte>(data.begin(), data.begin() + count), result};
}

} // namespace sonabel
