#include "sonabel/midi/MIDISysExMessage.h"

#include "sonabel/midi/MIDIVariableLengthQuantity.h"

#include <algorithm>

namespace sonabel {

std::optional<MIDISysExMessage> MIDISysExMessage::make(std::span<const MIDIByte> bytes) {
    if (bytes.size() < 3 || bytes[0] != 0xF0) return std::nullopt;
    const auto quantity = MIDIVariableLengthQuantity::make(bytes.subspan(1));
    if (!quantity) return std::nullopt;
    // Computed in 64 bits: a four-byte length near 2^32 must not wrap around.
    const std::uint64_t wanted =
        1 + static_cast<std::uint64_t>(quantity->vlqResult.first) + quantity->quantity();
    const std::size_t kept = static_cast<std::size_t>(std::min<std::uint64_t>(wanted, bytes.size()));
    return MIDISysExMessage{std::vector<MIDIByte>(bytes.begin(), bytes.begin() + kept), quantity->quantity()};
}

std::string MIDISysExMessage::description() const {
    return "MIDI SysEx message " + std::to_string(length) + " bytes long";
}

} // namespace sonabel
