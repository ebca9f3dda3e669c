// Bytes to sequencer events and back.
#include "platform/midi/alsa/AlsaTranslation.h"

#include "platform/core/HostClock.h"
#include "platform/core/LogSink.h"
#include "platform/midi/MIDIByteReader.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

namespace platform::midi {

namespace {

// Enough for the longest short message and for what the decoder writes for a 14-bit controller.
constexpr long kCoderBuffer = 16;

bool isRealTime(std::uint8_t byte) {
    return MIDIByteReader::isRealTime(byte);
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

int AlsaTranslation::encode(std::span<const std::uint8_t> input, std::size_t sysExChunkBytes, OpenSysEx& open,
                            const EventSink& sink) {
    sysExChunkBytes = std::max<std::size_t>(sysExChunkBytes, 1);
    snd_midi_event_reset_encode(encoder_);
    bool inSysEx = !open.empty();
    std::vector<std::uint8_t> joined;
    std::span<const std::uint8_t> bytes = input;
    if (inSysEx) {
        joined = std::move(open);
        joined.insert(joined.end(), input.begin(), input.end());
        bytes = joined;
    }
    open.clear();
    std::size_t i = 0;
    while (i < bytes.size()) {
        if (!inSysEx && bytes[i] != 0xF0) {
            const auto next = std::find(bytes.begin() + static_cast<std::ptrdiff_t>(i), bytes.end(), 0xF0);
            const auto end = static_cast<std::size_t>(next - bytes.begin());
            if (int status = encodeShort(bytes.subspan(i, end - i), sink); status < 0) return status;
            i = end;
            continue;
        }
        // A SysEx ends the running status, and a message it cut short, as on the wire.
        if (!inSysEx) snd_midi_event_reset_encode(encoder_);
        // Everything up to and including F7 is SysEx data, F0 of a new SysEx included.
        const auto from = bytes.begin() + static_cast<std::ptrdiff_t>(i) + (inSysEx ? 0 : 1);
        const auto f7 = std::find(from, bytes.end(), 0xF7);
        std::size_t end = f7 == bytes.end() ? bytes.size() : static_cast<std::size_t>(f7 - bytes.begin()) + 1;
        inSysEx = f7 == bytes.end();
        if (inSysEx) {
            // A receiver takes an event that begins with F0 for a new SysEx: the last bytes wait
            // for the next send, from one that is no F0 (or from the start of this run).
            std::size_t last = end - 1;
            while (last > i && bytes[last] == 0xF0)
                --last;
            open.assign(bytes.begin() + static_cast<std::ptrdiff_t>(last), bytes.end());
            end = last;
        }
        if (int status = encodeSysEx(bytes.subspan(i, end - i), sysExChunkBytes, sink); status < 0)
            return status;
        if (inSysEx) break;
        i = end;
    }
    return 0;
}

int AlsaTranslation::endSysEx(OpenSysEx& open, std::size_t sysExChunkBytes, const EventSink& sink) {
    const OpenSysEx held = std::move(open);
    open.clear();
    return encodeSysEx(held, std::max<std::size_t>(sysExChunkBytes, 1), sink);
}

int AlsaTranslation::encodeSysEx(std::span<const std::uint8_t> bytes, std::size_t sysExChunkBytes,
                                 const EventSink& sink) {
    for (std::size_t at = 0, n = 0; at < bytes.size(); at += n) {
        n = std::min(sysExChunkBytes, bytes.size() - at);
        // The same for the cuts between events: each moves off an F0.
        while (at + n < bytes.size() && bytes[at + n] == 0xF0)
            n = n > 1 && bytes[at + n - 1] != 0xF0 ? n - 1 : n + 1;
        snd_seq_event_t event;
        snd_seq_ev_clear(&event);
        snd_seq_ev_set_sysex(&event, static_cast<unsigned>(n), const_cast<std::uint8_t*>(bytes.data() + at));
        if (int status = sink(event, n); status < 0) return status;
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

void AlsaTranslation::frame(MIDIObjectRef receiver, std::uint32_t sender, std::string_view senderName,
                            const snd_seq_event_t& event, std::span<const std::uint8_t> bytes,
                            std::vector<std::uint8_t>& out) {
    if (bytes.empty()) return;
    auto& collector = collectors_[{receiver, sender}];
    const auto dropUnfinished = [&] {
        if (const auto dropped = collector.drop())
            log(LogLevel::error, SysExCollector::droppedText(senderName, *dropped));
    };
    if (event.type != SND_SEQ_EVENT_SYSEX) {
        if (!isRealTime(bytes[0])) dropUnfinished();
        out.insert(out.end(), bytes.begin(), bytes.end());
        return;
    }
    if (bytes[0] == MIDIByteReader::sysExStart) {
        dropUnfinished();
        collector.start();
    }
    // The rest of one whose start was lost is taken too, up to its F7.
    std::size_t at = 0;
    collect(collector, senderName, bytes, at, out);
    // The kernel ends its events from a wire at F7; a program's may hold more messages after it.
    std::size_t skipped = 0;
    while (at < bytes.size()) {
        const auto step = MIDIByteReader::next(bytes, at);
        if (step.kind == MIDIByteReader::Step::Kind::sysExStart) {
            collector.start();
            collect(collector, senderName, bytes, at, out);
        } else if (step.kind == MIDIByteReader::Step::Kind::message) {
            const auto push = [&](std::uint8_t byte) { out.push_back(byte); };
            MIDIByteReader::unweave(bytes.subspan(at, step.length), push, push);
            at += step.length;
        } else if (step.kind == MIDIByteReader::Step::Kind::cut) {
            MIDIByteReader::unweave(
                bytes.subspan(at, step.length), [&](std::uint8_t byte) { out.push_back(byte); },
                [&](std::uint8_t) { ++skipped; });
            at += step.length;
        } else if (step.kind == MIDIByteReader::Step::Kind::ignored) {
            ++at;
        } else {
            ++skipped;
            ++at;
        }
    }
    if (skipped > 0) log(LogLevel::error, SysExCollector::strayText(senderName, skipped));
}

void AlsaTranslation::collect(SysExCollector& collector, std::string_view senderName,
                              std::span<const std::uint8_t> bytes, std::size_t& at,
                              std::vector<std::uint8_t>& out) {
    std::size_t taken = 0;
    switch (collector.add(bytes.subspan(at), taken)) {
    case SysExCollector::Result::pending:
        break;
    case SysExCollector::Result::whole:
        out.insert(out.end(), collector.message().begin(), collector.message().end());
        break;
    case SysExCollector::Result::tooLong:
        log(LogLevel::error, SysExCollector::tooLongText(senderName));
        break;
    }
    at += taken;
}

void AlsaTranslation::toWords(std::span<const std::uint8_t> bytes, std::vector<std::uint32_t>& out) {
    words_.translate(bytes, out);
    words_.reset();
}

void AlsaTranslation::endPair(MIDIObjectRef receiver, std::uint32_t sender, std::string_view senderName) {
    const auto found = collectors_.find({receiver, sender});
    if (found == collectors_.end()) return;
    if (const auto dropped = found->second.drop())
        log(LogLevel::error, SysExCollector::droppedText(senderName, *dropped));
    collectors_.erase(found);
}

void AlsaTranslation::forgetReceiver(MIDIObjectRef receiver) {
    std::erase_if(collectors_, [&](const auto& entry) { return entry.first.first == receiver; });
}

void AlsaTranslation::forgetSender(std::uint32_t sender) {
    std::erase_if(collectors_, [&](const auto& entry) { return entry.first.second == sender; });
}

void AlsaTranslation::rekeySender(std::uint32_t from, std::uint32_t to,
                                  const std::function<bool(MIDIObjectRef receiver)>& hears) {
    for (auto it = collectors_.begin(); it != collectors_.end();) {
        if (it->first.second != from || (hears && !hears(it->first.first))) {
            ++it;
            continue;
        }
        auto node = collectors_.extract(it++);
        node.key().second = to;
        collectors_.insert(std::move(node));
    }
}

void AlsaTranslation::endSenders(const std::function<bool(std::uint32_t)>& which,
                                 const std::function<std::string(std::uint32_t)>& nameOf) {
    for (auto it = collectors_.begin(); it != collectors_.end();) {
        if (!which(it->first.second)) {
            ++it;
            continue;
        }
        if (const auto dropped = it->second.drop())
            log(LogLevel::error, SysExCollector::droppedText(nameOf(it->first.second), *dropped));
        it = collectors_.erase(it);
    }
}

} // namespace platform::midi
