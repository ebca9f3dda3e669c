#pragma once
// What the in-process server hands to each kind of receiver for data that was sent: packet
// lists of at most 256-byte packets for packet-list ports and virtual destinations, MIDI 1.0
// UMP event lists for universal-packet ports.
//
// Data from a source, or from one client's port to a virtual destination, keeps the 8-bit
// contract: once a SysEx began, every later packet from there continues it, whatever its first byte, until
// F7. Receivers get the SysEx only whole, stamped like the packet that ended it. A source whose F7 never
// comes is heard again once it was silent for more than kSilenceEndsSysEx (by the packets' stamps): the
// unfinished SysEx is dropped with a log line, and so is one that grows beyond SysExCollector::kMaxBytes.
// Outside a SysEx both kinds get the same whole messages: bytes that begin none end what is read
// of a packet, and are dropped with a log line; so is a message that a status byte cut short (its
// real-time bytes still arrive), and reading goes on at that status byte.
#include "platform/midi/EventListBuilder.h"
#include "platform/midi/PacketListBuilder.h"
#include "platform/midi/PacketListReader.h"
#include "platform/midi/SysExCollector.h"
#include "platform/midi/UMPTranslator.h"

#include <map>
#include <memory>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace platform::midi {

class InProcessTranslation {
public:
    static constexpr MIDITimeStamp kSilenceEndsSysEx = 1'000'000'000;

    struct Lists {
        std::shared_ptr<const PacketListBuilder> packets;
        std::shared_ptr<const EventListBuilder> events;
    };

    // Packets sent from a source (named in log lines), with time stamps 0 already replaced by the
    // send time.
    Lists fromSource(MIDIEndpointRef source, std::string_view sourceName,
                     std::span<const PacketListReader::Packet> packets, bool forPacketPorts,
                     bool forEventPorts);
    // Packets sent from a client's port to a virtual destination; null when none are due yet.
    std::shared_ptr<const PacketListBuilder> toDestination(MIDIEndpointRef destination, MIDIPortRef port,
                                                           std::string_view portName,
                                                           std::span<const PacketListReader::Packet> packets);
    std::shared_ptr<const PacketListBuilder> piecesList() const;
    // A source, destination or port that is gone.
    void forget(MIDIObjectRef ref);

private:
    struct Source {
        SysExCollector sysEx;
        MIDITimeStamp last = 0; // the stamp of the source's last packet
    };
    struct Piece {
        MIDITimeStamp timeStamp;
        std::span<const std::uint8_t> bytes;
    };
    // Cuts a sender's packets into what receivers get: whole SysEx messages and the other bytes.
    void frame(Source& source, std::string_view sourceName,
               std::span<const PacketListReader::Packet> packets);

    std::unordered_map<MIDIEndpointRef, UMPTranslator> translators_;
    // By (virtual destination, port), or (0, source).
    std::map<std::pair<MIDIObjectRef, MIDIObjectRef>, Source> framing_;
    std::vector<Piece> pieces_;                    // scratch
    std::vector<std::vector<std::uint8_t>> whole_; // scratch: the SysEx messages pieces_ point into
    std::vector<std::uint32_t> words_;             // scratch
    std::vector<std::size_t> ends_;                // scratch: where each piece's words end in words_
};

} // namespace platform::midi
