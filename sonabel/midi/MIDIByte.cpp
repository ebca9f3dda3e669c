#include "sonabel/midi/MIDIByte.h"

#include <limits>

namespace sonabel {

namespace {
constexpr char kHexDigits[] = "0123456789ABCDEF";
}

std::string hexString(MIDIByte byte) {
    return std::string{'0', 'x', kHexDigits[highNibble(byte)], kHexDigits[lowNibble(byte)]};
}

std::string hexString(std::span<const MIDIByte> bytes) {
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const MIDIByte byte : bytes) {
        text += kHexDigits[highNibble(byte)];
        text += kHexDigits[lowNibble(byte)];
    }
    return text;
}

std::optional<std::int64_t> integerValue(std::span<const MIDIByte> bytes) {
    if (bytes.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const MIDIByte byte : bytes) {
        if (value > (std::numeric_limits<std::uint64_t>::max() >> 8)) return std::nullopt;
        value = (value << 8) | byte;
    }
    if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
    return static_cast<std::int64_t>(value);
}

} // namespace sonabel
