#pragma once
// One packet of MIDI 1.0 bytes as the receive path reads it: its time stamp and its data bytes,
// which stay where they are (in a packet list, a packet's data may run past 256 bytes). The bytes
// must outlive the view.
#include "platform/midi/MIDITypes.h"
#include "sonabel/midi/MIDIByte.h"

#include <algorithm>
#include <span>

namespace sonabel {

struct MIDIPacketView {
    MIDITimeStamp timeStamp = 0;
    // Exactly the packet's `length` bytes.
    std::span<const MIDIByte> data;

    MIDIPacketView() = default;
    MIDIPacketView(MIDITimeStamp timeStamp, std::span<const MIDIByte> data)
        : timeStamp(timeStamp), data(data) {}
    // A packet on its own holds at most its 256-byte data area, whatever its length says.
    MIDIPacketView(const MIDIPacket& packet)
        : timeStamp(packet.timeStamp),
          data(packet.data, std::min<std::size_t>(packet.length, sizeof(packet.data))) {}

    std::size_t length() const { return data.size(); }
};

} // namespace sonabel
