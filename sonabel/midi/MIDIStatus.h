#pragma once
// The status byte of a channel message: the message kind in the high nibble, the channel in the
// low one. Any byte can be held; only 80...EF have a type.
#include "sonabel/midi/MIDIByte.h"
#include "sonabel/midi/MIDIStatusType.h"

#include <optional>
#include <string>
#include <vector>

namespace sonabel {

struct MIDIStatus {
    MIDIByte byte = 0;

    constexpr explicit MIDIStatus(MIDIByte byte) : byte(byte) {}
    // The type's nibble and the channel; the channel's high bits are masked off so that they cannot
    // turn into another type.
    constexpr MIDIStatus(MIDIStatusType type, MIDIChannel channel)
        : byte(static_cast<MIDIByte>((type.rawValue() << 4) | lowNibble(channel))) {}
    // A status only for a channel status byte, 80...EF.
    static std::optional<MIDIStatus> make(MIDIByte statusByte);

    std::optional<MIDIStatusType> type() const { return MIDIStatusType::from(byte); }
    constexpr MIDIChannel channel() const { return lowNibble(byte); }
    // Bytes of the whole message: 3, 2 for program change and channel aftertouch, 0 for a byte
    // that is no channel status.
    int length() const;
    std::vector<MIDIByte> data() const { return {byte}; }
    std::string description() const;

    constexpr bool operator==(const MIDIStatus&) const = default;
};

} // namespace sonabel
