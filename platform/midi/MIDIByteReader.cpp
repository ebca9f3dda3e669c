// The shared reading of MIDI bytes.
#include "platform/midi/MIDIByteReader.h"

#include <algorithm>

namespace platform::midi {

std::size_t MIDIByteReader::messageLength(std::uint8_t status) {
    if (status >= 0x80 && status < 0xF0) return (status >> 4) == 0xC || (status >> 4) == 0xD ? 2 : 3;
    switch (status) {
    case 0xF1:
    case 0xF3:
        return 2;
    case 0xF2:
        return 3;
    case 0xF6:
    case 0xF8:
    case 0xFA:
    case 0xFB:
    case 0xFC:
    case 0xFE:
    case 0xFF:
        return 1;
    default:
        return 0;
    }
}

bool MIDIByteReader::isWhole(std::span<const std::uint8_t> message) {
    return message.empty() || std::none_of(message.begin() + 1, message.end(), isStatus);
}

MIDIByteReader::Step MIDIByteReader::next(std::span<const std::uint8_t> packet, std::size_t at) {
    if (at >= packet.size()) return {};
    const std::uint8_t status = packet[at];
    if (status == sysExStart) return {Step::Kind::sysExStart, 0};
    if (status == sysExEnd) return {Step::Kind::strayEnd, 1};
    if (isUndefinedRealTime(status)) return {Step::Kind::ignored, 1};
    const std::size_t length = messageLength(status);
    if (length == 0) return {};
    std::size_t data = 1, realTime = 0, ignored = 0, i = at + 1;
    for (; data < length; ++i) {
        if (i >= packet.size()) return {};
        if (isUndefinedRealTime(packet[i]))
            ++ignored;
        else if (isRealTime(packet[i]))
            ++realTime;
        else if (isStatus(packet[i]))
            return {Step::Kind::cut, i - at, realTime, ignored};
        else
            ++data;
    }
    return {Step::Kind::message, i - at, realTime, ignored};
}

} // namespace platform::midi
