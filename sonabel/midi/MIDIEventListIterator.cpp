#include "sonabel/midi/MIDIEventListIterator.h"

#include <algorithm>
#include <cstring>

namespace sonabel {

namespace {
constexpr std::size_t kListHeader = offsetof(MIDIEventList, packet);
constexpr std::size_t kPacketHeader = offsetof(MIDIEventPacket, words);
} // namespace

MIDIEventListIterator::MIDIEventListIterator(const MIDIEventList* eventList, std::size_t byteSize)
    : MIDIEventListIterator(eventList ? std::span(reinterpret_cast<const MIDIByte*>(eventList), byteSize)
                                      : std::span<const MIDIByte>()) {}

MIDIEventListIterator::MIDIEventListIterator(std::span<const MIDIByte> listBytes) : bytes_(listBytes) {
    if (bytes_.size() < kListHeader) return;
    std::int32_t protocol = 0;
    std::memcpy(&protocol, bytes_.data() + offsetof(MIDIEventList, protocol), sizeof(protocol));
    protocol_ = static_cast<MIDIProtocolID>(protocol);
    std::memcpy(&remaining_, bytes_.data() + offsetof(MIDIEventList, numPackets), sizeof(remaining_));
    offset_ = kListHeader;
}

std::optional<MIDIEventPacketView> MIDIEventListIterator::next() {
    if (remaining_ == 0 || bytes_.size() - offset_ < kPacketHeader) return std::nullopt;
    --remaining_;
    const MIDIByte* packet = bytes_.data() + offset_;
    MIDITimeStamp timeStamp = 0;
    std::uint32_t wordCount = 0;
    std::memcpy(&timeStamp, packet + offsetof(MIDIEventPacket, timeStamp), sizeof(timeStamp));
    std::memcpy(&wordCount, packet + offsetof(MIDIEventPacket, wordCount), sizeof(wordCount));
    const std::size_t available = (bytes_.size() - offset_ - kPacketHeader) / 4;
    const std::size_t kept = std::min<std::size_t>(wordCount, available);
    offset_ += kPacketHeader + kept * 4;
    if (kept < wordCount) remaining_ = 0;
    return MIDIEventPacketView(timeStamp, std::span(packet + kPacketHeader, kept * 4));
}

} // namespace sonabel
