// Sent packets to receiver lists.
#include "platform/midi/inprocess/InProcessTranslation.h"

namespace platform::midi {

std::shared_ptr<const PacketListBuilder>
InProcessTranslation::packetList(std::span<const PacketListReader::Packet> packets) {
    auto list = std::make_shared<PacketListBuilder>();
    for (const auto& packet : packets)
        list->addSplit(packet.timeStamp, packet.data);
    return list;
}

InProcessTranslation::Lists
InProcessTranslation::fromSource(MIDIEndpointRef source, std::span<const PacketListReader::Packet> packets,
                                 bool forPacketPorts, bool forEventPorts) {
    Lists lists;
    if (forPacketPorts) lists.packets = packetList(packets);
    if (!forEventPorts) {
        // Nobody follows the stream as UMP now; a port connected later starts clean.
        translators_.erase(source);
        return lists;
    }
    auto& translator = translators_[source];
    // Translated first, so the list is sized once.
    words_.clear();
    ends_.clear();
    for (const auto& packet : packets) {
        translator.translate(packet.data, words_);
        ends_.push_back(words_.size());
    }
    auto events = std::make_shared<EventListBuilder>(kMIDIProtocol_1_0);
    events->reserve(words_.size() + packets.size() * 4);
    std::size_t begin = 0;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        events->addMessages(packets[i].timeStamp, std::span(words_).subspan(begin, ends_[i] - begin));
        begin = ends_[i];
    }
    if (events->count() > 0) lists.events = std::move(events);
    return lists;
}

} // namespace platform::midi
