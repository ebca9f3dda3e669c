#pragma once
// Walks a packet list within its byte size. Counts and lengths inside a list come from whoever
// built it, so they are checked against the size before a byte is read: a list whose counts lie
// stops the walk and is reported malformed.
#include "platform/midi/MIDITypes.h"

#include <cstdint>
#include <span>

namespace platform::midi {

class PacketListReader {
public:
    struct Packet {
        MIDITimeStamp timeStamp = 0;
        std::span<const std::uint8_t> data;
        ByteCount offset = 0; // of the packet header from the start of the list
    };

    PacketListReader(const MIDIPacketList* list, ByteCount listSize);

    // The next packet, or false at the end of the list or at the first packet that does not fit.
    bool next(Packet& packet);
    // A packet count or length claimed more than the list holds (or the list is too short for
    // its own header).
    bool malformed() const { return malformed_; }
    std::uint32_t declaredCount() const { return count_; }

    // Walks the whole list: true when every declared packet lies inside it.
    static bool isWellFormed(const MIDIPacketList* list, ByteCount listSize);

private:
    const std::uint8_t* bytes_;
    ByteCount size_;
    ByteCount offset_ = kMIDIPacketListHeaderSize;
    std::uint32_t count_ = 0;
    std::uint32_t read_ = 0;
    bool malformed_ = false;
};

} // namespace platform::midi
