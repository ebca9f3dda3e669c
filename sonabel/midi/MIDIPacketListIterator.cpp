#include "sonabel/midi/MIDIPacketListIterator.h"

#include <algorithm>
#include <cstring>

namespace sonabel {

namespace {
constexpr std::size_t kListHeader = offsetof(MIDIPacketList, packet);
constexpr std::size_t kPacketHeader = offsetof(MIDIPacket, data);
} // namespace

MIDIPacketListIterator::MIDIPacketListIterator(const MIDIPacketList* packetList, std::size_t byteSize)
    : MIDIPacketListIterator(packetList ? std::span(reinterpret_cast<const MIDIByte*>(packetList), byteSize)
                                        : std::span<const MIDIByte>()) {}

MIDIPacketListIterator::MIDIPacketListIterator(std::span<const MIDIByte> listBytes) : bytes_(listBytes) {
    if (bytes_.size() < kListHeader) return;
    std::memcpy(&remaining_, bytes_.data() + offsetof(MIDIPacketList, numPackets), sizeof(remaining_));
    offset_ = kListHeader;
}

std::optional<MIDIPacketView> MIDIPacketListIterator::next() {
    if (remaining_ == 0 || bytes_.size() - offset_ < kPacketHeader) return std::nullopt;
    --remaining_;
    const MIDIByte* packet = bytes_.data() + offset_;
    MIDITimeStamp timeStamp = 0;
    std::uint16_t length = 0;
    std::memcpy(&timeStamp, packet + offsetof(MIDIPacket, timeStamp), sizeof(timeStamp));
    std::memcpy(&length, packet + offsetof(MIDIPacket, length), sizeof(length));
    const std::size_t available = bytes_.size() - offset_ - kPacketHeader;
    const std::size_t kept = std::min<std::size_t>(length, available);
    offset_ += kPacketHeader + kept;
    if (kept < length) remaining_ = 0;
    return MIDIPacketView(timeStamp, std::span(packet + kPacketHeader, kept));
}

} // namespace sonabel
