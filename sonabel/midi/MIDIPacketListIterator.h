#pragma once
// Walks the packets of a MIDIPacketList as delivered: each packet starts right after the previous
// one's data, unaligned. The list comes from outside, so the walk is bounded by the byte size of
// the buffer that holds it: `numPackets` and each `length` are only believed as far as they fit.
// A packet whose data runs past the end is cut at the end, and the walk stops there.
#include "platform/midi/MIDITypes.h"
#include "sonabel/midi/MIDIByte.h"
#include "sonabel/midi/MIDIPacketView.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace sonabel {

class MIDIPacketListIterator {
public:
    // The list's memory must stay valid while the iterator and the views it returns are used.
    MIDIPacketListIterator(const MIDIPacketList* packetList, std::size_t byteSize);
    explicit MIDIPacketListIterator(std::span<const MIDIByte> listBytes);

    // The next packet, none after the last.
    std::optional<MIDIPacketView> next();

private:
    std::span<const MIDIByte> bytes_;
    std::size_t offset_ = 0;
    std::uint32_t remaining_ = 0;
};

inline MIDIPacketListIterator makeIterator(const MIDIPacketList* packetList, std::size_t byteSize) {
    return MIDIPacketListIterator(packetList, byteSize);
}

} // namespace sonabel
