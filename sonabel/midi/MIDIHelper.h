#pragma once
// Conversions of byte groups to integers and text, shared by the file reader and the listeners.
#include "sonabel/midi/MIDIByte.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace sonabel {

class MIDIHelper {
public:
    MIDIHelper() = delete;

    static constexpr std::uint32_t convertTo32Bit(MIDIByte msb, MIDIByte data1, MIDIByte data2,
                                                  MIDIByte lsb) {
        return (std::uint32_t{msb} << 24) | (std::uint32_t{data1} << 16) | (std::uint32_t{data2} << 8) | lsb;
    }
    static constexpr std::uint16_t convertTo16Bit(MIDIByte msb, MIDIByte lsb) {
        return static_cast<std::uint16_t>((msb << 8) | lsb);
    }
    // The decimal value of every byte, joined without separator: 1, 23, 5 give "1235".
    static std::string convertToDecimalStrings(std::span<const MIDIByte> bytes);
    // The bytes as UTF-8 text; none when they are not valid UTF-8.
    static std::optional<std::string> convertToString(std::span<const MIDIByte> bytes);
};

} // namespace sonabel
