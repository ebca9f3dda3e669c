#include "sonabel/midi/MIDIVariableLengthQuantity.h"

namespace sonabel {

MIDIVariableLengthQuantity::Result MIDIVariableLengthQuantity::read(std::span<const MIDIByte> bytes) {
    if (bytes.empty()) return {0, 0};
    std::uint32_t value = bytes[0] & 0x7F;
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i) {
        if ((bytes[i] & 0x80) == 0) return {static_cast<std::int64_t>(i + 1), value};
        value = (value << 7) | (bytes[i + 1] & 0x7Fu);
    }
    return {static_cast<std::int64_t>(bytes.size()), value};
}

std::optional<MIDIVariableLengthQuantity> MIDIVariableLengthQuantity::make(std::span<const MIDIByte> data) {
    if (data.empty()) return std::nullopt;
    const Result result = read(data);
    const auto count = static_cast<std::size_t>(result.first);
    return MIDIVariableLengthQuantity{std::vector<MIDIByte>(data.begin(), data.begin() + count), result};
}

} // namespace sonabel
