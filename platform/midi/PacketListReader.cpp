// Bounded packet-list walk: every header and data range is checked against the list size first.
#include "platform/midi/PacketListReader.h"

#include <cstring>

namespace platform::midi {

PacketListReader::PacketListReader(const MIDIPacketList* list, ByteCount listSize)
    : bytes_(reinterpret_cast<const std::uint8_t*>(list)), size_(list ? listSize : 0) {
    if (!list || listSize < kMIDIPacketListHeaderSize) {
        malformed_ = true;
        return;
    }
    std::memcpy(&count_, bytes_, sizeof count_);
}

bool PacketListReader::next(Packet& packet) {
    if (malformed_ || read_ >= count_) return false;
    if (size_ - offset_ < kMIDIPacketHeaderSize) {
        malformed_ = true;
        return false;
    }
    std::uint16_t length = 0;
    std::memcpy(&packet.timeStamp, bytes_ + offset_, sizeof packet.timeStamp);
    std::memcpy(&length, bytes_ + offset_ + sizeof packet.timeStamp, sizeof length);
    const ByteCount dataOffset = offset_ + kMIDIPacketHeaderSize;
    if (size_ - dataOffset < length) {
        malformed_ = true;
        return false;
    }
    packet.data = {bytes_ + dataOffset, length};
    packet.offset = offset_;
    offset_ = dataOffset + length;
    ++read_;
    return true;
}

bool PacketListReader::isWellFormed(const MIDIPacketList* list, ByteCount listSize) {
    PacketListReader reader(list, listSize);
    Packet packet;
    while (reader.next(packet)) {
    }
    return !reader.malformed();
}

} // namespace platform::midi
