#pragma once
// The instrument speaks its SysEx either plain (F0, model, command, payload, F7) or with the
// maker's three-byte manufacturer ID after F0 (F0, 00 66 2B, model, command, payload, F7).
// Builders produce plain messages; frameSysEx() is what goes on the wire.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace malvo {

enum class SysExFraming { plain, withManufacturerID };

inline constexpr std::array<std::uint8_t, 3> manufacturerID{0x00, 0x66, 0x2B};

// Index of the command byte: 2 plain, 5 with the manufacturer ID.
constexpr std::size_t commandIndex(SysExFraming framing) {
    return framing == SysExFraming::plain ? 2 : 5;
}

// The framing the instrument answered in, learnt from where its version reply's command byte
// was found (an offset of 5 means the manufacturer ID).
constexpr SysExFraming framingForCommandOffset(std::size_t offset) {
    return offset == 5 ? SysExFraming::withManufacturerID : SysExFraming::plain;
}

// A plain message as sent in the given framing: the ID goes in after the leading F0. An empty
// message stays empty.
std::vector<std::uint8_t> frameSysEx(std::span<const std::uint8_t> plainMessage, SysExFraming framing);

// Index of the command byte when the message comes from an instrument of this model, in either
// framing; 0 when it is not for us (not SysEx, other model, other maker, or too short to hold
// its command byte).
std::size_t sysExCommandOffset(std::span<const std::uint8_t> message, std::uint8_t deviceModel);

} // namespace malvo
