// Bounded event-list walk: every header and word range is checked against the list size first.
#include "platform/midi/EventListReader.h"

#include <cstring>

namespace platform::midi {

EventListReader::EventListReader(const MIDIEventList* list, ByteCount listSize)
    : bytes_(reinterpret_cast<const std::uint8_t*>(list)), size_(list ? listSize : 0) {
    if (!list || listSize < kMIDIEventListHeaderSize) {
        malformed_ = true;
        return;
    }
    std::int32_t protocol = 0;
    std::memcpy(&protocol, bytes_, sizeof protocol);
    protocol_ = static_cast<MIDIProtocolID>(protocol);
    std::memcpy(&count_, bytes_ + sizeof protocol, sizeof count_);
}

bool EventListReader::next(Packet& packet) {
    if (malformed_ || read_ >= count_) return false;
    if (size_ - offset_ < kMIDIEventPacketHeaderSize) {
        malformed_ = true;
        return false;
    }
    std::uint32_t wordCount = 0;
    std::memcpy(&packet.timeStamp, bytes_ + offset_, sizeof packet.timeStamp);
    std::memcpy(&wordCount, bytes_ + offset_ + sizeof packet.timeStamp, sizeof wordCount);
    const ByteCount wordsOffset = offset_ + kMIDIEventPacketHeaderSize;
    if ((size_ - wordsOffset) / 4 < wordCount) {
        malformed_ = true;
        return false;
    }
    packet.words.resize(wordCount);
    if (wordCount) std::memcpy(packet.words.data(), bytes_ + wordsOffset, ByteCount{wordCount} * 4);
    offset_ = wordsOffset + ByteCount{wordCount} * 4;
    ++read_;
    return true;
}

bool EventListReader::isWellFormed(const MIDIEventList* list, ByteCount listSize) {
    EventListReader reader(list, listSize);
    Packet packet;
    while (reader.next(packet)) {
    }
    return !reader.malformed();
}

} // namespace platform::midi
