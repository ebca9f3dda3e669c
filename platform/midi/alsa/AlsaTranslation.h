#pragma once
// Bytes to sequencer events and back. Short messages go through alsa-lib's MIDI event coder
// (running status off); SysEx we cut ourselves into ordered chunks, because the coder ends a
// SysEx at any byte of 80 and above, and our instruments put 8-bit values inside theirs.
//
// Receiving follows the kernel's framing of the wire: a SysEx event that begins with F0 starts a
// new SysEx, later SysEx events continue it, and any other event but a real-time one ends it.
// Receivers get a SysEx only whole, once its F7 came: how late we read the events changes
// nothing. A SysEx cut off by a new one or by another message is dropped, with a log line. A
// program's SysEx event may go on after its F7 (a whole file of messages as one event): the
// messages there reach receivers too, in order.
#include "platform/midi/MIDITypes.h"
#include "platform/midi/SysExCollector.h"
#include "platform/midi/UMPTranslator.h"

#include <alsa/asoundlib.h>

#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <string_view>
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

    // A SysEx left open by one send toward a destination: its last bytes, held back for the next
    // send, so that no event of ours but a SysEx's first begins with F0. Empty when none is open.
    using OpenSysEx = std::vector<std::uint8_t>;
    // Encodes one send. The next send's bytes continue an open SysEx until F7, whatever they are.
    // A short message cut off at the end is left out.
    int encode(std::span<const std::uint8_t> bytes, std::size_t sysExChunkBytes, OpenSysEx& open,
               const EventSink& sink);
    // Ends an open SysEx unfinished, as a status byte does on a cable: what it held back goes out
    // as the continuation it is, and the next send starts afresh.
    static int endSysEx(OpenSysEx& open, std::size_t sysExChunkBytes, const EventSink& sink);

    // The MIDI bytes of one received event, appended to out; nothing for events that carry none.
    void decode(const snd_seq_event_t& event, std::vector<std::uint8_t>& out);

    // Frames one received event's bytes for a receiver (a port, or a virtual destination) and the
    // sender it came from (named in log lines): appends to out what the receiver gets now, the
    // event's message or a SysEx now whole; nothing while a SysEx is collected, nor for the rest
    // of one whose start was lost.
    void frame(MIDIObjectRef receiver, std::uint32_t sender, std::string_view senderName,
               const snd_seq_event_t& event, std::span<const std::uint8_t> bytes,
               std::vector<std::uint8_t>& out);
    // Universal-packet words for whole messages.
    void toWords(std::span<const std::uint8_t> bytes, std::vector<std::uint32_t>& out);
    // The pair's unfinished SysEx is dropped, with a log line: its sender was disconnected.
    void endPair(MIDIObjectRef receiver, std::uint32_t sender, std::string_view senderName);
    void forgetReceiver(MIDIObjectRef receiver);
    void forgetSender(std::uint32_t sender);
    // The sender is known by another key from now on: what it left unfinished goes on, toward
    // the receivers that still hear it.
    void rekeySender(std::uint32_t from, std::uint32_t to,
                     const std::function<bool(MIDIObjectRef receiver)>& hears = {});
    // The senders went: each unfinished SysEx of theirs is dropped, with a log line naming them.
    void endSenders(const std::function<bool(std::uint32_t sender)>& which,
                    const std::function<std::string(std::uint32_t sender)>& nameOf);
    // After lost input: every unfinished SysEx is dropped, not joined to what comes next.
    void forgetAll() { collectors_.clear(); }

private:
    int encodeShort(std::span<const std::uint8_t> bytes, const EventSink& sink);
    static int encodeSysEx(std::span<const std::uint8_t> bytes, std::size_t sysExChunkBytes,
                           const EventSink& sink);
    // Adds bytes from `at` to the collector, up to its F7; appends the SysEx to out once whole.
    static void collect(SysExCollector& collector, std::string_view senderName,
                        std::span<const std::uint8_t> bytes, std::size_t& at, std::vector<std::uint8_t>& out);

    snd_midi_event_t* encoder_ = nullptr;
    snd_midi_event_t* decoder_ = nullptr;
    UMPTranslator words_;
    std::map<std::pair<MIDIObjectRef, std::uint32_t>, SysExCollector> collectors_;
};

} // namespace platform::midi
