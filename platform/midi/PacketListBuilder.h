#pragma once
// Builds a packet list in a buffer of its own, for handing data to read blocks and to sends.
#include "platform/midi/MIDITypes.h"

#include <cstdint>
#include <span>
#include <vector>

namespace platform::midi {

class PacketListBuilder {
public:
    PacketListBuilder();

    // One packet holding the bytes as they stand; false (nothing added) past 65535 bytes.
    bool add(MIDITimeStamp time, std::span<const std::uint8_t> data);
    // Packets of at most maxPacket bytes. A cut goes before a status byte when one is in reach,
    // so no short message straddles two packets; SysEx is cut anywhere (the receiver carries it
    // over as continuation packets). Concatenated, the packets give back the bytes unchanged.
    void addSplit(MIDITimeStamp time, std::span<const std::uint8_t> data,
                  std::size_t maxPacket = kMIDIPacketDataCapacity);
    void clear();

    const MIDIPacketList* list() const { return reinterpret_cast<const MIDIPacketList*>(storage_.data()); }
    ByteCount size() const { return size_; }
    std::uint32_t count() const { return count_; }

private:
    std::vector<std::uint32_t> storage_; // words keep the list header aligned
    ByteCount size_ = kMIDIPacketListHeaderSize;
    std::uint32_t count_ = 0;
};

} // namespace platform::midi
