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
    auto events = std::make_shared<EventListBuilder>(kMIDIProtocol_1_0);
    for (const auto& packet : packets) {
        words_.clear();
        translator.translate(packet.data, words_);
        events->addMessages(packet.timeStamp, words_);
    }
    if (events->count() > 0) lists.events = std::move(events);
    return lists;
}

} // namespace platform::midi
