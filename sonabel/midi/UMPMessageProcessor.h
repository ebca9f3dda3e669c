#pragma once
// Turns the universal MIDI packet words that MIDI 1.0 inputs deliver into MIDIEvents: one-word
// messages become events of their three bytes, and SysEx that arrives cut into 64-bit pieces is put
// back together into F0 ... F7. Pieces are kept apart by source and group, so that two inputs (or
// two groups of one) sending at once never mix; a continue or end piece without a start is
// dropped. Other message types are logged and skipped by their size. Safe to use from several
// threads.
#include "platform/midi/MIDITypes.h"
#include "sonabel/midi/MIDIByte.h"
#include "sonabel/midi/MIDIEvent.h"
#include "sonabel/midi/MIDIEventPacketView.h"

#include <cstdint>
#include <mutex>
#include <span>
#include <utility>
#include <vector>

namespace sonabel {

class UMPMessageProcessor {
public:
    // One packet's words from `source`, in order, as events with the packet's time stamp. A SysEx
    // piece that leaves its message unfinished gives an event without bytes. A message whose words
    // run past the packet is dropped.
    std::vector<MIDIEvent> processUMPMessages(const MIDIEventPacketView& packet, MIDIUniqueID source);

    // Where the messages of processUMPMessages go, in order, before they become events: the event
    // is MIDIEvent(bytes, timeStamp) of either.
    class Sink {
    public:
        virtual void oneWord(std::span<const MIDIByte, 3> bytes, MIDITimeStamp timeStamp) = 0;
        virtual void sysEx(std::vector<MIDIByte>&& bytes, MIDITimeStamp timeStamp) = 0;

    protected:
        ~Sink() = default;
    };
    void processUMPMessages(const MIDIEventPacketView& packet, MIDIUniqueID source, Sink& sink);

    // One SysEx7 piece: byte 0 holds the status (high nibble) and the count of valid data bytes
    // (low nibble, above 6 taken as 6), bytes 1 to 6 the data. Returns the whole message once it is
    // complete, nothing while it is not, and the bare data bytes for an unsupported status.
    std::vector<MIDIByte> processUMPSysExMessage(std::span<const MIDIByte> record, MIDIUniqueID source,
                                                 std::uint8_t group);

    // Drops what a source left unfinished, e.g. when it vanished.
    void dropPendingSysEx(MIDIUniqueID source);

private:
    struct Pending {
        MIDIUniqueID source;
        std::uint8_t group;
        std::vector<MIDIByte> message;
    };

    std::vector<MIDIByte> sysExPiece(std::span<const MIDIByte> record, MIDIUniqueID source,
                                     std::uint8_t group); // mutex_ held
    std::vector<Pending>::iterator findPending(MIDIUniqueID source, std::uint8_t group);
    void dropEntry(std::vector<Pending>::iterator entry);

    std::mutex mutex_;
    // Rarely more than one entry: a flat list beats a tree.
    std::vector<Pending> pending_;
    // The buffer of the last finished message, kept for the next one to grow into.
    std::vector<MIDIByte> spare_;
};

} // namespace sonabel
