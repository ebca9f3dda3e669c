#include "sonabel/midi/MIDIHelper.h"

namespace sonabel {

std::string MIDIHelper::convertToDecimalStrings(std::span<const MIDIByte> bytes) {
    std::string text;
    text.reserve(bytes.size() * 3);
    for (const MIDIByte byte : bytes)
        text += std::to_string(byte);
    return text;
}

namespace {
// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUTF8(std::span<const MIDIByte> bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const MIDIByte lead = bytes[i];
        std::size_t count = 0;
        MIDIByte low = 0x80, high = 0xBF; // allowed range of the first continuation byte
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            count = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            count = 2;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            count = 3;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (bytes.size() - i - 1 < count) return false;
        if (bytes[i + 1] < low || bytes[i + 1] > high) return false;
        for (std::size_t k = 2; k <= count; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80) return false;
        }
        i += count + 1;
    }
    return true;
}
} // namespace

std::optional<std::string> MIDIHelper::convertToString(std::span<const MIDIByte> bytes) {
    if (!isValidUTF8(bytes)) return std::nullopt;
    return std::string(bytes.begin(), bytes.end());
}

} // namespace sonabel
