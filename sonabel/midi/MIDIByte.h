#pragma once
// The byte vocabulary of MIDI messages, and the nibble, hexadecimal and integer readings of bytes
// and byte arrays that message types, the file reader and log texts share.
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace sonabel {

using MIDIByte = std::uint8_t;
using MIDIWord = std::uint16_t;
using MIDINoteNumber = MIDIByte;
using MIDIVelocity = MIDIByte;
using MIDIChannel = MIDIByte;

constexpr MIDIByte highNibble(MIDIByte byte) {
    return static_cast<MIDIByte>(byte >> 4);
}
constexpr MIDIByte lowNibble(MIDIByte byte) {
    return static_cast<MIDIByte>(byte & 0x0F);
}

// "0x" and two upper-case hexadecimal digits: 5 gives "0x05".
std::string hexString(MIDIByte byte);
// Two upper-case hexadecimal digits per byte, no prefix or separator: F0 7E gives "F07E".
std::string hexString(std::span<const MIDIByte> bytes);
// The bytes as one big-endian unsigned number; none for no bytes and when it does not fit a signed
// 64-bit integer. Leading zero bytes do not count against the size.
std::optional<std::int64_t> integerValue(std::span<const MIDIByte> bytes);

} // namespace sonabel
