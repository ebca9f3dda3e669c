#include "sonabel/midi/MIDICustomMetaEvent.h"

#include "sonabel/midi/MIDIHelper.h"
#include "sonabel/midi/MIDIVariableLengthQuantity.h"

#include <algorithm>

namespace sonabel {

std::optional<MIDICustomMetaEvent> MIDICustomMetaEvent::make(std::span<const MIDIByte> data) {
    if (data.size() < 3 || data[0] != 0xFF) return std::nullopt;
    const auto type = MIDICustomMetaEventType::make(data[1]);
    if (!type) return std::nullopt;
    const auto [count, value] = MIDIVariableLengthQuantity::read(data.subspan(2));
    // Computed in 64 bits: a four-byte length near 2^32 must not wrap around.
    const std::uint64_t wanted = 2 + static_cast<std::uint64_t>(count) + value;
    const std::size_t kept = static_cast<std::size_t>(std::min<std::uint64_t>(wanted, data.size()));
    return MIDICustomMetaEvent{std::nullopt, std::vector<MIDIByte>(data.begin(), data.begin() + kept), *type,
                               value};
}

std::optional<std::string> MIDICustomMetaEvent::text() const {
    // The payload follows the header; a cut-short event has fewer than `length` bytes of it, and
    // the header bytes never count as text.
    std::span<const MIDIByte> bytes(data);
    if (bytes.size() > 2) {
        const auto count = static_cast<std::size_t>(MIDIVariableLengthQuantity::read(bytes.subspan(2)).first);
        bytes = bytes.subspan(2 + count);
    } else {
        bytes = {};
    }
    const std::uint64_t payload = static_cast<std::uint64_t>(std::max<std::int64_t>(length, 0));
    if (payload < bytes.size()) bytes = bytes.first(static_cast<std::size_t>(payload));
    return MIDIHelper::convertToString(bytes);
}

std::string MIDICustomMetaEvent::description() const {
    std::string result = type.description() + " " + std::to_string(length) + " bytes long ";
    switch (type) {
    case MIDICustomMetaEventType::trackName:
    case MIDICustomMetaEventType::instrumentName:
    case MIDICustomMetaEventType::programName:
    case MIDICustomMetaEventType::devicePortName:
    case MIDICustomMetaEventType::metaEvent10:
    case MIDICustomMetaEventType::metaEvent12:
        if (const auto payloadText = text()) result += "- " + *payloadText;
        break;
    default:
        break;
    }
    return result;
}

} // namespace sonabel
