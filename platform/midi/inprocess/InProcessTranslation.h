#pragma once
// What the in-process server hands to each kind of receiver for data that was sent: packet
// lists of at most 256-byte packets for packet-list ports and virtual destinations, MIDI 1.0
// UMP event lists for universal-packet ports. Keeps the UMP state of each source, so a SysEx
// spread over several sends arrives as one run of pieces.
#include "platform/midi/EventListBuilder.h"
#include "platform/midi/PacketListBuilder.h"
#include "platform/midi/PacketListReader.h"
#include "platform/midi/UMPTranslator.h"

#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

namespace platform::midi {

class InProcessTranslation {
public:
    struct Lists {
        std::shared_ptr<const PacketListBuilder> packets;
        std::shared_ptr<const EventListBuilder> events;
    };

    // Packets sent from a source, with time stamps 0 already replaced by the send time.
    Lists fromSource(MIDIEndpointRef source, std::span<const PacketListReader::Packet> packets,
                     bool forPacketPorts, bool forEventPorts);
    static std::shared_ptr<const PacketListBuilder>
    packetList(std::span<const PacketListReader::Packet> packets);
    void forget(MIDIEndpointRef source) { translators_.erase(source); }

private:
    std::unordered_map<MIDIEndpointRef, UMPTranslator> translators_;
    std::vector<std::uint32_t> words_; // scratch
    std::vector<std::size_t> ends_;    // scratch: where each packet's words end in words_
};

} // namespace platform::midi
