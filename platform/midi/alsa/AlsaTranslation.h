#pragma once
// Bytes to sequencer events and back. Short messages go through alsa-lib's MIDI event coder
// (running status off); SysEx we cut ourselves into ordered chunks, because the coder ends a
// SysEx at any byte of 80 and above, and our instruments put 8-bit values inside theirs.
//
// Receiving keeps one UMP translator per (input port, source), so SysEx chunks that arrive as
// separate events reach a universal-packet port as one run of SysEx7 pieces. A packet-list
// receiver takes every packet that arrives while a SysEx is open as part of it, so real-time events
// that come meanwhile are held back and follow the packet that holds the F7; whether a SysEx is
// open is read from the packets as the receiver reads them. A SysEx whose F7 never comes is given
// up as the receiver gives it up: by the first packet stamped more than a second after the SysEx's
// last one. The held events then go first, stamped like that packet, so that the receiver, which
// has given up too, reads them as messages.
#include "platform/midi/MIDITypes.h"
#include "platform/midi/PacketListBuilder.h"
#include "platform/midi/UMPTranslator.h"

#include <alsa/asoundlib.h>

#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <utility>
#include <vector>

namespace platform::midi {

class AlsaTranslation {
public:
    // Called once per event, in order; the event (and its SysEx data) lives only for the call.
    // wireBytes: how many bytes the event takes on a MIDI cable. A negative return stops encoding
    // and is passed back.
    using EventSink = std::function<int(snd_seq_event_t& event, std::size_t wireBytes)>;

    AlsaTranslation();
    ~AlsaTranslation();
    AlsaTranslation(const AlsaTranslation&) = delete;
    AlsaTranslation& operator=(const AlsaTranslation&) = delete;

    // Encodes one send. inSysEx carries an unfinished SysEx from one send to the next toward the
    // same destination: the next send's bytes continue it until F7, whatever they are. A short
    // message cut off at the end is left out.
    int encode(std::span<const std::uint8_t> bytes, std::size_t sysExChunkBytes, bool& inSysEx,
               const EventSink& sink);

    // The MIDI bytes of one received event, appended to out; nothing for events that carry none.
    void decode(const snd_seq_event_t& event, std::vector<std::uint8_t>& out);

    // Universal-packet words for bytes from a source to a port. sysExEvent: the bytes came in a
    // SysEx event, so while a SysEx is open they are all data, F0 and status values included.
    void toWords(MIDIPortRef port, MIDIEndpointRef source, std::span<const std::uint8_t> bytes,
                 std::vector<std::uint32_t>& out, bool sysExEvent = false);
    // Packets for bytes from a source to a packet-list port; receiver is the port, or a virtual
    // destination with source 0 (it cannot tell senders apart). Adds nothing for a held event.
    // At most kMaxHeldRealTime are held per receiver and source; later ones are dropped, with a
    // log line, until the SysEx ends.
    void toPackets(MIDIObjectRef receiver, MIDIEndpointRef source, MIDITimeStamp time,
                   std::span<const std::uint8_t> bytes, bool sysExEvent, PacketListBuilder& out);
    // Clock at 300 beats a minute beside a 70,000-byte SysEx on a cable (22 s) is 2,640 bytes; a
    // cable carries 3,125 bytes a second in all.
    static constexpr std::size_t kMaxHeldRealTime = 16384;
    // A port or a virtual destination.
    void forgetPort(MIDIObjectRef port);
    void forgetSource(MIDIEndpointRef source);
    // After lost input: a SysEx left open is dropped, not joined to what comes next.
    void forgetAll() {
        translators_.clear();
        packetReceivers_.clear();
    }

private:
    int encodeShort(std::span<const std::uint8_t> bytes, const EventSink& sink);

    snd_midi_event_t* encoder_ = nullptr;
    snd_midi_event_t* decoder_ = nullptr;
    std::map<std::pair<MIDIPortRef, MIDIEndpointRef>, UMPTranslator> translators_;
    struct PacketReceiver {
        bool inSysEx = false;
        bool droppedRealTime = false;
        // The stamp of the last packet the receiver took into the SysEx.
        MIDITimeStamp sysExTime = 0;
        std::vector<std::pair<MIDITimeStamp, std::uint8_t>> heldRealTime;
    };
    std::map<std::pair<MIDIObjectRef, MIDIEndpointRef>, PacketReceiver> packetReceivers_;
};

} // namespace platform::midi
