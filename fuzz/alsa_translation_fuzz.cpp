// Feeds the ALSA backend's receive translation what the kernel may deliver: sequencer events of
// every type with any field values, SysEx chunks of any size and bytes, from several sources to
// several ports, with time stamps that advance by gaps on both sides of a second. Each event is
// decoded and handed on as the server does (universal packets or packet lists), the packet lists
// are walked by the framework's packet assembly as a receiver would, and at the end every receiver
// is sent an F7 so that nothing stays held. It traps when:
// - a short event decodes to anything but whole messages with their status bytes;
// - a SysEx event decodes to other bytes than its data, or a delivery loses, adds or reorders them;
// - a delivered list is not [real-time bytes given up with a SysEx][the event's bytes][held
//   real-time bytes], each in its expected packets, or carries a stamp later than its delivery;
// - the two layers disagree about an abandoned SysEx (the receiver would swallow the real-time
//   bytes that the translation stopped holding);
// - decoded short messages, encoded again, do not decode to the same bytes;
// - universal packets are not well-formed messages of types 1, 2 and 3.
#include "fuzz/FuzzSupport.h"
#include "platform/core/LogSink.h"
#include "platform/midi/PacketListBuilder.h"
#include "platform/midi/PacketListReader.h"
#include "platform/midi/alsa/AlsaTranslation.h"
#include "sonabel/internals/settings/Settings.h"
#include "sonabel/midi/MIDIPacketIterator.h"
#include "sonabel/midi/MIDIPacketView.h"
#include "sonabel/midi/SysExAssembler.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

using platform::midi::AlsaTranslation;
using platform::midi::PacketListBuilder;
using platform::midi::PacketListReader;
using Bytes = std::vector<std::uint8_t>;

namespace {

using fuzzsupport::check;

constexpr MIDITimeStamp kSecond = 1'000'000'000;

// Counts the lines that tell of a given-up SysEx, from either layer.
class CountingLogSink final : public platform::LogSink {
public:
    void write(const platform::LogEntry& entry) override {
        if (entry.text.starts_with("MIDI input: a SysEx got no F7")) ++translationAbandons;
        if (entry.text.starts_with("MIDI input: too many real-time")) ++translationDrops;
        if (entry.text.find("Dropped an unfinished SysEx") != std::string::npos) ++assemblerAbandons;
    }
    int translationAbandons = 0;
    int translationDrops = 0;
    int assemblerAbandons = 0;
};

CountingLogSink& logSink() {
    static const auto sink = [] {
        auto made = std::make_shared<CountingLogSink>();
        platform::LogSink::setCurrent(made);
        sonabel::Settings::setLoggingEnabled(true);
        return made;
    }();
    return *sink;
}

const std::array<snd_seq_event_type_t, 26> kTypes{
    SND_SEQ_EVENT_NOTEON,     SND_SEQ_EVENT_NOTEOFF,      SND_SEQ_EVENT_NOTE,      SND_SEQ_EVENT_KEYPRESS,
    SND_SEQ_EVENT_CONTROLLER, SND_SEQ_EVENT_PGMCHANGE,    SND_SEQ_EVENT_CHANPRESS, SND_SEQ_EVENT_PITCHBEND,
    SND_SEQ_EVENT_CONTROL14,  SND_SEQ_EVENT_NONREGPARAM,  SND_SEQ_EVENT_REGPARAM,  SND_SEQ_EVENT_SONGPOS,
    SND_SEQ_EVENT_SONGSEL,    SND_SEQ_EVENT_QFRAME,       SND_SEQ_EVENT_TIMESIGN,  SND_SEQ_EVENT_KEYSIGN,
    SND_SEQ_EVENT_START,      SND_SEQ_EVENT_CONTINUE,     SND_SEQ_EVENT_STOP,      SND_SEQ_EVENT_CLOCK,
    SND_SEQ_EVENT_TICK,       SND_SEQ_EVENT_TUNE_REQUEST, SND_SEQ_EVENT_RESET,     SND_SEQ_EVENT_SENSING,
    SND_SEQ_EVENT_SYSEX,      SND_SEQ_EVENT_USR_VAR0};

// Receivers 1 and 2 are packet-list ports, 3 a universal-packet port, 4 a virtual destination
// (which hears every sender as source 0).
constexpr MIDIObjectRef kUniversalPort = 3;
constexpr MIDIObjectRef kVirtualDestination = 4;

bool isRealTime(std::uint8_t byte) {
    return byte >= 0xF8;
}

// Bytes of the message a status begins, 0 for a byte that begins none on its own.
std::size_t messageLength(std::uint8_t status) {
    if (status >= 0x80 && status < 0xF0) return (status >> 4) == 0xC || (status >> 4) == 0xD ? 2 : 3;
    switch (status) {
    case 0xF1:
    case 0xF3:
        return 2;
    case 0xF2:
        return 3;
    case 0xF6:
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

bool wholeMessages(const Bytes& bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t length = messageLength(bytes[i]);
        if (length == 0 || i + length > bytes.size()) return false;
        for (std::size_t k = 1; k < length; ++k)
            if (bytes[i + k] >= 0x80) return false;
        i += length;
    }
    return true;
}

Bytes withoutRealTime(const Bytes& bytes) {
    Bytes kept;
    for (std::uint8_t byte : bytes)
        if (!isRealTime(byte)) kept.push_back(byte);
    return kept;
}

struct Packet {
    MIDITimeStamp timeStamp;
    Bytes data;
};

std::vector<Packet> packetsOf(const PacketListBuilder& list) {
    std::vector<Packet> packets;
    PacketListReader reader(list.list(), list.size());
    PacketListReader::Packet packet;
    while (reader.next(packet))
        packets.push_back({packet.timeStamp, {packet.data.begin(), packet.data.end()}});
    check(!reader.malformed() && packets.size() == list.count());
    return packets;
}

// What one packet-list receiver was given and what it got, and the framework's assembly of it.
struct Receiver {
    Bytes given;
    Bytes delivered;
    sonabel::SysExAssembler assembler;
};

// The input read front to back; past its end every read gives zeros.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint32_t u16() { return byte() | static_cast<std::uint32_t>(byte()) << 8; }
    std::uint32_t u32() { return u16() | u16() << 16; }
    // Up to n bytes, fewer where the input ends.
    Bytes bytes(std::size_t n) {
        n = std::min(n, size_ - std::min(at_, size_));
        Bytes out(data_ + at_, data_ + at_ + n);
        at_ += n;
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

class Run {
public:
    explicit Run(Input& input) : input_(input) {}

    void play() {
        while (!input_.empty()) {
            const std::uint8_t op = input_.byte();
            advance(op >> 5);
            const int source = op & 3;
            const MIDIObjectRef receiver = 1 + ((op >> 2) & 3);
            if (op & 0x10) {
                special(source, receiver);
                continue;
            }
            snd_seq_event_t event = makeEvent();
            deliver(event, source, receiver);
        }
        // An F7 to everyone a little later ends what is open and brings out what is held.
        now_ += 1;
        snd_seq_event_t end{};
        std::uint8_t f7 = 0xF7;
        snd_seq_ev_set_sysex(&end, 1, &f7);
        for (auto& [key, state] : receivers_)
            toPackets(key.first, key.second, end, Bytes{0xF7});
        // Held bytes go when the bound is reached or the translation forgets them.
        const bool dropped = logSink().translationDrops != drops_ || forgotten_;
        for (auto& [key, state] : receivers_) {
            // Every byte arrives once, in order; held real-time bytes may only come later.
            check(withoutRealTime(state.delivered) == withoutRealTime(state.given));
            std::array<std::size_t, 8> given{}, delivered{};
            for (std::uint8_t byte : state.given)
                if (isRealTime(byte)) ++given[byte - 0xF8];
            for (std::uint8_t byte : state.delivered)
                if (isRealTime(byte)) ++delivered[byte - 0xF8];
            for (std::size_t i = 0; i < given.size(); ++i)
                check(dropped ? delivered[i] <= given[i] : delivered[i] == given[i]);
        }
    }

private:
    void advance(int choice) {
        static constexpr std::array<MIDITimeStamp, 7> kSteps{0,           1,       1'000'000,  300'000'000,
                                                             kSecond - 1, kSecond, kSecond + 1};
        if (choice < 7)
            now_ += kSteps[static_cast<std::size_t>(choice)];
        else
            now_ += input_.u32();
    }

    void special(int source, MIDIObjectRef receiver) {
        switch (input_.byte() & 3) {
        case 0: {
            // A burst of one real-time message, each its own event, as a busy sender gives them.
            // One flood a run passes the bound on held bytes; more would only slow the run down.
            const std::uint8_t kind = input_.byte();
            std::size_t count = 1 + input_.u16() % 300;
            if ((kind & 6) == 6 && !flooded_) {
                count += AlsaTranslation::kMaxHeldRealTime;
                flooded_ = true;
            }
            const MIDITimeStamp step = input_.u16() * MIDITimeStamp{4};
            const auto type = kind & 1 ? SND_SEQ_EVENT_SENSING : SND_SEQ_EVENT_CLOCK;
            for (std::size_t i = 0; i < count; ++i) {
                snd_seq_event_t event{};
                event.type = type;
                now_ += step;
                deliver(event, source, receiver, i == 0);
            }
            return;
        }
        case 1:
            // Lost input: nothing held survives, and the receiver's own SysEx goes on.
            translation_.forgetAll();
            forgotten_ = true;
            return;
        case 2:
            translation_.forgetSource(sourceRef(source));
            forgotten_ = true;
            return;
        default:
            translation_.forgetPort(receiver);
            forgotten_ = true;
            return;
        }
    }

    static MIDIEndpointRef sourceRef(int source) { return static_cast<MIDIEndpointRef>(100 + source); }

    snd_seq_event_t makeEvent() {
        snd_seq_event_t event{};
        const std::uint8_t kind = input_.byte();
        event.type = kind < kTypes.size() * 9 ? kTypes[kind % kTypes.size()]
                                              : static_cast<snd_seq_event_type_t>(input_.byte());
        if (event.type == SND_SEQ_EVENT_SYSEX) {
            makeSysEx(event);
            return event;
        }
        const auto fields = input_.bytes(sizeof event.data);
        if (!fields.empty()) std::memcpy(&event.data, fields.data(), fields.size());
        event.flags = input_.byte();
        if ((event.flags & SND_SEQ_EVENT_LENGTH_MASK) != SND_SEQ_EVENT_LENGTH_FIXED) {
            // Data of its own, as the kernel hands it over.
            const std::size_t length = input_.byte() % 65;
            auto bytes = input_.bytes(length);
            bytes.resize(length);
            sysEx_ = std::make_unique<std::uint8_t[]>(length ? length : 1);
            if (length) std::memcpy(sysEx_.get(), bytes.data(), length);
            event.data.ext.len = static_cast<unsigned>(length);
            event.data.ext.ptr = sysEx_.get();
        }
        return event;
    }

    void makeSysEx(snd_seq_event_t& event) {
        std::size_t length;
        switch (input_.byte() & 7) {
        case 0:
            length = 0;
            break;
        case 1:
            length = 257 + input_.u32() % (70000 - 257 + 1);
            break;
        default:
            length = 1 + input_.u16() % 300;
            break;
        }
        length = std::min(length, sysExBudget_);
        sysExBudget_ -= length;
        // As many bytes as the input still has, then a run that starts with them.
        auto bytes = input_.bytes(length);
        const std::size_t had = bytes.size();
        bytes.resize(length);
        for (std::size_t i = had; i < length; ++i)
            bytes[i] = had ? bytes[i % had] : static_cast<std::uint8_t>(i);
        // An exact-size copy, so that a read past the chunk is caught.
        sysEx_ = std::make_unique<std::uint8_t[]>(length ? length : 1);
        if (length) std::memcpy(sysEx_.get(), bytes.data(), length);
        snd_seq_ev_set_sysex(&event, static_cast<unsigned>(length), sysEx_.get());
        sysExLength_ = length;
        // The kernel always sets the variable length; a fixed one or no data must give nothing.
        const std::uint8_t odd = input_.byte() & 15;
        if (odd == 0) event.flags = SND_SEQ_EVENT_LENGTH_FIXED;
        if (odd == 1) event.data.ext.ptr = nullptr;
    }

    void deliver(const snd_seq_event_t& event, int source, MIDIObjectRef receiver, bool encodeAgain = true) {
        Bytes bytes;
        translation_.decode(event, bytes);
        const bool sysExEvent = event.type == SND_SEQ_EVENT_SYSEX;
        if (sysExEvent) {
            const bool carries = (event.flags & SND_SEQ_EVENT_LENGTH_MASK) == SND_SEQ_EVENT_LENGTH_VARIABLE &&
                                 event.data.ext.ptr != nullptr;
            check(bytes == (carries ? Bytes(sysEx_.get(), sysEx_.get() + sysExLength_) : Bytes{}));
        } else {
            check(wholeMessages(bytes) && bytes.size() <= 16);
            if (encodeAgain) checkRoundTrip(bytes);
        }
        if (bytes.empty()) return;
        if (receiver == kUniversalPort) {
            words_.clear();
            translation_.toWords(receiver, sourceRef(source), bytes, words_, sysExEvent);
            checkWords();
            return;
        }
        const MIDIEndpointRef from = receiver == kVirtualDestination ? 0 : sourceRef(source);
        toPackets(receiver, from, event, bytes);
    }

    void toPackets(MIDIObjectRef receiver, MIDIEndpointRef source, const snd_seq_event_t& event,
                   const Bytes& bytes) {
        const bool sysExEvent = event.type == SND_SEQ_EVENT_SYSEX;
        auto& state = receivers_[{receiver, source}];
        const int abandonsBefore = logSink().translationAbandons;
        const int assemblerAbandonsBefore = logSink().assemblerAbandons;
        const bool receiving = state.assembler.isReceivingSysEx();
        PacketListBuilder list;
        translation_.toPackets(receiver, source, now_, bytes, sysExEvent, list);
        const auto packets = packetsOf(list);
        const bool abandoned = logSink().translationAbandons != abandonsBefore;
        check(logSink().translationAbandons - abandonsBefore <= 1);

        // [real-time bytes given up with a SysEx, at now][the event's bytes, at now][held, earlier]
        // After giving up nothing is held, so the event's bytes end the list.
        std::size_t ownBegin = 0, ownEnd = 0;
        if (abandoned) {
            std::size_t taken = 0;
            ownBegin = packets.size();
            while (ownBegin > 0 && taken < bytes.size())
                taken += packets[--ownBegin].data.size();
            ownEnd = packets.size();
        } else {
            std::size_t taken = 0;
            while (ownEnd < packets.size() && taken < bytes.size())
                taken += packets[ownEnd++].data.size();
        }
        const bool held = ownBegin == ownEnd;
        Bytes own;
        for (std::size_t i = ownBegin; i < ownEnd; ++i) {
            check(packets[i].timeStamp == now_ && !packets[i].data.empty() &&
                  packets[i].data.size() <= kMIDIPacketDataCapacity);
            own.insert(own.end(), packets[i].data.begin(), packets[i].data.end());
        }
        if (held)
            // Only a lone real-time byte outside a SysEx event is ever held.
            check(!abandoned && packets.empty() && !sysExEvent && bytes.size() == 1 && isRealTime(bytes[0]));
        else
            check(own == bytes);
        for (std::size_t i = 0; i < ownBegin; ++i)
            check(packets[i].timeStamp == now_ && !packets[i].data.empty() &&
                  packets[i].data.size() <= kMIDIPacketDataCapacity &&
                  std::all_of(packets[i].data.begin(), packets[i].data.end(), isRealTime));
        for (std::size_t i = ownEnd; i < packets.size(); ++i)
            check(packets[i].timeStamp <= now_ && packets[i].data.size() == 1 &&
                  isRealTime(packets[i].data[0]));
        const std::size_t releasedAtAbandon = ownBegin;

        state.given.insert(state.given.end(), bytes.begin(), bytes.end());
        for (const auto& packet : packets)
            state.delivered.insert(state.delivered.end(), packet.data.begin(), packet.data.end());

        // The receiver's own assembly gives up the SysEx on the same packet, so what the
        // translation stopped holding reaches it as messages. (Lost input makes the translation
        // forget a SysEx that the receiver still collects: the layers part until it ends.)
        for (std::size_t i = 0; i < packets.size(); ++i) {
            sonabel::MIDIPacketIterator iterator(
                sonabel::MIDIPacketView(packets[i].timeStamp, packets[i].data), state.assembler);
            std::size_t messages = 0;
            while (const auto message = iterator.nextMessage())
                ++messages;
            if (abandoned && i < releasedAtAbandon && !forgotten_) {
                check(!state.assembler.isReceivingSysEx());
                check(messages == packets[i].data.size());
            }
        }
        if (abandoned && !forgotten_ && receiving)
            check(logSink().assemblerAbandons == assemblerAbandonsBefore + 1);
        // A byte is held only while the receiver collects a SysEx.
        if (held && !forgotten_) check(state.assembler.isReceivingSysEx());
    }

    // Short messages go out as typed events and come back the same.
    void checkRoundTrip(const Bytes& bytes) {
        Bytes back;
        bool inSysEx = false;
        const int status = translation_.encode(bytes, 256, inSysEx, [&](snd_seq_event_t& event, std::size_t) {
            translation_.decode(event, back);
            return 0;
        });
        check(status == 0 && !inSysEx && back == bytes);
    }

    void checkWords() {
        for (std::size_t i = 0; i < words_.size();) {
            const std::uint32_t type = words_[i] >> 28;
            check(type == 1 || type == 2 || type == 3);
            if (type == 3) {
                check(i + 1 < words_.size());
                check(((words_[i] >> 20) & 0xF) <= 3 && ((words_[i] >> 16) & 0xF) <= 6);
                i += 2;
            } else {
                i += 1;
            }
        }
    }

    Input& input_;
    AlsaTranslation translation_;
    MIDITimeStamp now_ = kSecond;
    std::map<std::pair<MIDIObjectRef, MIDIEndpointRef>, Receiver> receivers_;
    std::vector<std::uint32_t> words_;
    std::unique_ptr<std::uint8_t[]> sysEx_;
    std::size_t sysExLength_ = 0;
    int drops_ = logSink().translationDrops;
    bool flooded_ = false;
    std::size_t sysExBudget_ = 100'000;
    bool forgotten_ = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input input(data, size);
    Run run(input);
    run.play();
    return 0;
}
