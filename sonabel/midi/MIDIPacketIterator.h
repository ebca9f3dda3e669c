#pragma once
// Cuts the bytes of one packet into MIDIEvents, in order: channel messages by their status's
// length, system messages, and SysEx through the input's SysExAssembler, which carries a message
// that the packet leaves unfinished on to the input's next packet. There is no running status: a
// data byte where a status is expected, or an undefined status, ends the packet; so does a message
// cut short by the packet's end, which is dropped. A message cut short by another status byte is
// dropped, and that byte read as the start of the next; real-time bytes inside a message come
// before it, as the wire gave them.
//
// Time stamps: SysEx and one-byte system messages carry the packet's time stamp wherever they stand
// in it; channel messages and the two- and three-byte system messages carry none.
#include "sonabel/midi/MIDIEvent.h"
#include "sonabel/midi/MIDIPacketView.h"
#include "sonabel/midi/SysExAssembler.h"

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace sonabel {

class MIDIPacketIterator {
public:
    // The packet's bytes and the assembler must outlive the iterator.
    MIDIPacketIterator(const MIDIPacketView& packet, SysExAssembler& assembler)
        : packet_(packet), assembler_(&assembler) {}

    // The next event, none after the last. While a SysEx is pending, a packet continues it,
    // whatever its first byte, and yields the whole message once its F7 arrives, then what follows
    // the F7; a packet stamped more than SysExAssembler::kAbandonAfter after the message's last one
    // finds it abandoned and stands on its own. A SysEx start whose end is not in the packet yields
    // an event without bytes and ends the packet; a stray F7 yields an event without bytes.
    std::optional<MIDIEvent> next();

    // The same message before it becomes an event: next() is MIDIEvent(bytes, timeStamp) of it.
    // The bytes stand in the packet, the assembler or the iterator, and hold until the next call.
    struct Message {
        std::span<const MIDIByte> bytes;
        std::optional<MIDITimeStamp> timeStamp;
    };
    std::optional<Message> nextMessage();

private:
    MIDIPacketView packet_;
    SysExAssembler* assembler_;
    std::size_t index_ = 0;
    // A message with real-time bytes among its own, or cut short, while those are given out.
    std::size_t wovenFrom_ = 0, wovenEnd_ = 0; // wovenEnd_ 0: none
    bool wovenWhole_ = false;
    std::array<MIDIByte, 3> held_{}; // the woven message without them
};

inline MIDIPacketIterator makeIterator(const MIDIPacketView& packet, SysExAssembler& assembler) {
    return MIDIPacketIterator(packet, assembler);
}

// Every event of one packet.
std::vector<MIDIEvent> packetEvents(const MIDIPacketView& packet, SysExAssembler& assembler);

} // namespace sonabel
