// Packet lists for deliveries: packets placed back to back, headers written byte-wise because a
// packet after an odd-length one is unaligned.
#include "platform/midi/PacketListBuilder.h"

#include <cstring>

namespace platform::midi {

PacketListBuilder::PacketListBuilder() {
    clear();
}

void PacketListBuilder::clear() {
    storage_.assign(1, 0);
    size_ = kMIDIPacketListHeaderSize;
    count_ = 0;
}

bool PacketListBuilder::add(MIDITimeStamp time, std::span<const std::uint8_t> data) {
    if (data.size() > UINT16_MAX) return false;
    const ByteCount offset = size_;
    size_ += kMIDIPacketHeaderSize + data.size();
    storage_.resize((size_ + 3) / 4);
    auto* bytes = reinterpret_cast<std::uint8_t*>(storage_.data());
    const auto length = static_cast<std::uint16_t>(data.size());
    std::memcpy(bytes + offset, &time, sizeof time);
    std::memcpy(bytes + offset + sizeof time, &length, sizeof length);
    if (!data.empty()) std::memcpy(bytes + offset + kMIDIPacketHeaderSize, data.data(), data.size());
    ++count_;
    std::memcpy(bytes, &count_, sizeof count_);
    return true;
}

void PacketListBuilder::addSplit(MIDITimeStamp time, std::span<const std::uint8_t> data,
                                 std::size_t maxPacket) {
    if (maxPacket == 0 || maxPacket > UINT16_MAX) maxPacket = kMIDIPacketDataCapacity;
    std::size_t start = 0;
    std::size_t lastSafe = 0; // latest position a cut may go before; 0 stands for none
    bool inSysEx = false;
    for (std::size_t i = 0; i < data.size(); ++i) {
        const std::uint8_t byte = data[i];
        // Inside SysEx every position will do; outside, only before a status byte.
        const bool safe = inSysEx || (byte >= 0x80 && byte < 0xF8);
        if (safe && i > start) lastSafe = i;
        if (i - start == maxPacket) {
            const std::size_t cut = lastSafe > start ? lastSafe : i;
            add(time, data.subspan(start, cut - start));
            start = cut;
        }
        if (byte == 0xF0)
            inSysEx = true;
        else if (byte == 0xF7)
            inSysEx = false;
    }
    if (start < data.size() || data.empty()) add(time, data.subspan(start));
}

} // namespace platform::midi
