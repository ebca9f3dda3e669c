// Bytes to sequencer events and back.
#include "platform/midi/alsa/AlsaTranslation.h"

#include "platform/core/HostClock.h"
#include "platform/core/LogSink.h"
#include "platform/midi/PacketListReader.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

namespace platform::midi {

namespace {

// Enough for the longest short message and for what the decoder writes for a 14-bit controller.
constexpr long kCoderBuffer = 16;

// As long as a packet-list receiver waits for a SysEx's next packet.
constexpr MIDITimeStamp kSysExAbandonAfter = HostClock::ticksPerSecond;

bool isRealTime(std::uint8_t byte) {
    return byte >= 0xF8;
}

// Bytes of the message a status begins, 0 for a byte that begins none.
std::size_t messageLength(std::uint8_t status) {
    if (status >= 0x80 && status < 0xF0) return (status >> 4) == 0xC || (status >> 4) == 0xD ? 2 : 3;
    switch (status) {
    case 0xF1:
    case 0xF3:
        return 2;
    case 0xF2:
        return 3;
    case 0xF6:
    case 0xF7:
    case 0xF8:
    case 0xFA:
    case 0xFB:
    case 0xFC:
    case 0xFE:
    case 0xFF:
        return 1;
    default:
        return 0;
    }
}

// Whether a receiver is inside a SysEx after one packet, reading it as packet-list receivers do:
// inside one, everything up to F7; outside, messages by their status's length, F0 opening one,
// and a byte that begins no message (or a message cut off) ending the packet. A F0 they never
// read opens nothing.
bool sysExOpenAfter(std::span<const std::uint8_t> packet, bool open) {
    std::size_t i = 0;
    while (i < packet.size()) {
        if (open) {
            const auto f7 = std::find(packet.begin() + static_cast<std::ptrdiff_t>(i), packet.end(), 0xF7);
            if (f7 == packet.end()) return true;
            open = false;
            i = static_cast<std::size_t>(f7 - packet.begin()) + 1;
        } else if (packet[i] == 0xF0) {
            open = true;
            ++i;
        } else {
            const std::size_t length = messageLength(packet[i]);
            if (length == 0 || length > packet.size() - i) return false;
            i += length;
        }
    }
    return open;
}

void log(LogLevel level, const std::string& text) {
    LogSink::emit({"io.sonabel.platform", "midi", level, text});
}

} // namespace

AlsaTranslation::AlsaTranslation() {
    if (snd_midi_event_new(kCoderBuffer, &encoder_) < 0 || snd_midi_event_new(kCoderBuffer, &decoder_) < 0) {
        if (encoder_) snd_midi_event_free(encoder_);
        throw std::bad_alloc();
    }
    snd_midi_event_no_status(decoder_, 1);
}

AlsaTranslation::~AlsaTranslation() {
    snd_midi_event_free(encoder_);
    snd_midi_event_free(decoder_);
}

int AlsaTranslation::encode(std::span<const std::uint8_t> bytes, std::size_t sysExChunkBytes, bool& inSysEx,
                            const EventSink& sink) {
    sysExChunkBytes = std::max<std::size_t>(sysExChunkBytes, 1);
    snd_midi_event_reset_encode(encoder_);
    std::size_t i = 0;
    while (i < bytes.size()) {
        if (!inSysEx && bytes[i] != 0xF0) {
            const auto next = std::find(bytes.begin() + static_cast<std::ptrdiff_t>(i), bytes.end(), 0xF0);
            const auto end = static_cast<std::size_t>(next - bytes.begin());
            if (int status = encodeShort(bytes.subspan(i, end - i), sink); status < 0) return status;
            i = end;
            continue;
        }
        // Everything up to and including F7 is SysEx data, F0 of a new SysEx included.
        const auto from = bytes.begin() + static_cast<std::ptrdiff_t>(i) + (inSysEx ? 0 : 1);
        const auto f7 = std::find(from, bytes.end(), 0xF7);
        const std::size_t end =
            f7 == bytes.end() ? bytes.size() : static_cast<std::size_t>(f7 - bytes.begin()) + 1;
        inSysEx = f7 == bytes.end();
        for (std::size_t at = i; at < end; at += sysExChunkBytes) {
            const std::size_t n = std::min(sysExChunkBytes, end - at);
            snd_seq_event_t event;
            snd_seq_ev_clear(&event);
            snd_seq_ev_set_sysex(&event, static_cast<unsigned>(n),
                                 const_cast<std::uint8_t*>(bytes.data() + at));
            if (int status = sink(event, n); status < 0) return status;
        }
        i = end;
    }
    return 0;
}

int AlsaTranslation::encodeShort(std::span<const std::uint8_t> bytes, const EventSink& sink) {
    std::size_t pending = 0;
    for (std::uint8_t byte : bytes) {
        ++pending;
        snd_seq_event_t event;
        snd_seq_ev_clear(&event);
        if (snd_midi_event_encode_byte(encoder_, byte, &event) != 1) continue;
        // Real-time bytes may sit inside another message; they alone went out now.
        const std::size_t wire = isRealTime(byte) ? 1 : pending;
        if (!isRealTime(byte)) pending = 0;
        if (event.type == SND_SEQ_EVENT_NONE) continue;
        if (int status = sink(event, wire); status < 0) return status;
    }
    return 0;
}

void AlsaTranslation::decode(const snd_seq_event_t& event, std::vector<std::uint8_t>& out) {
    if (event.type == SND_SEQ_EVENT_SYSEX) {
        if ((event.flags & SND_SEQ_EVENT_LENGTH_MASK) != SND_SEQ_EVENT_LENGTH_VARIABLE || !event.data.ext.ptr)
            return;
        const auto* data = static_cast<const std::uint8_t*>(event.data.ext.ptr);
        out.insert(out.end(), data, data + event.data.ext.len);
        return;
    }
    unsigned char buffer[kCoderBuffer];
    const long n = snd_midi_event_decode(decoder_, buffer, kCoderBuffer, &event);
    if (n > 0) out.insert(out.end(), buffer, buffer + n);
}

void AlsaTranslation::toWords(MIDIPortRef port, MIDIEndpointRef source, std::span<const std::uint8_t> bytes,
                              std::vector<std::uint32_t>& out, bool sysExEvent) {
    translators_[{port, source}].translate(
        bytes, out, sysExEvent ? UMPTranslator::Chunk::stream : UMPTranslator::Chunk::message);
}

void AlsaTranslation::toPackets(MIDIObjectRef receiver, MIDIEndpointRef source, MIDITimeStamp time,
                                std::span<const std::uint8_t> bytes, bool sysExEvent,
                                PacketListBuilder& out) {
    auto& state = packetReceivers_[{receiver, source}];
    // Stamps that go back never count as a gap.
    if (state.inSysEx && time > state.sysExTime && time - state.sysExTime > kSysExAbandonAfter) {
        log(LogLevel::error, "MIDI input: a SysEx got no F7 for more than 1 s and is taken as ended; "
                             "the real-time messages held meanwhile are delivered");
        state.inSysEx = false;
        std::vector<std::uint8_t> held;
        held.reserve(state.heldRealTime.size());
        for (const auto& entry : state.heldRealTime)
            held.push_back(entry.second);
        if (!held.empty()) out.addSplit(time, held);
        state.heldRealTime.clear();
        state.droppedRealTime = false;
    }
    if (state.inSysEx && !sysExEvent && bytes.size() == 1 && isRealTime(bytes[0])) {
        if (state.heldRealTime.size() < kMaxHeldRealTime) {
            state.heldRealTime.emplace_back(time, bytes[0]);
        } else if (!state.droppedRealTime) {
            state.droppedRealTime = true;
            log(LogLevel::error, "MIDI input: too many real-time messages came during one SysEx; later "
                                 "ones are dropped until it ends");
        }
        return;
    }
    const std::uint32_t before = out.count();
    out.addSplit(time, bytes);
    PacketListReader reader(out.list(), out.size());
    PacketListReader::Packet packet;
    for (std::uint32_t i = 0; reader.next(packet); ++i) {
        if (i < before) continue;
        const bool wasInSysEx = state.inSysEx;
        state.inSysEx = sysExOpenAfter(packet.data, state.inSysEx);
        if (wasInSysEx || state.inSysEx) state.sysExTime = time;
    }
    if (state.inSysEx) return;
    for (const auto& [at, byte] : state.heldRealTime)
        out.add(at, std::span(&byte, 1));
    state.heldRealTime.clear();
    state.droppedRealTime = false;
}

void AlsaTranslation::forgetPort(MIDIObjectRef port) {
    std::erase_if(translators_, [&](const auto& entry) { return entry.first.first == port; });
    std::erase_if(packetReceivers_, [&](const auto& entry) { return entry.first.first == port; });
}

void AlsaTranslation::forgetSource(MIDIEndpointRef source) {
    std::erase_if(translators_, [&](const auto& entry) { return entry.first.second == source; });
    std::erase_if(packetReceivers_, [&](const auto& entry) { return entry.first.second == source; });
}

} // namespace platform::midi
