// Feeds the ALSA backend's receive translation what the kernel may deliver: sequencer events of
// every type with any field values, SysEx chunks of any size and bytes, from several senders to
// several receivers, with lost input and vanished senders and receivers between them. Each event
// is decoded and framed as the server does, then handed on (universal packets or packet lists)
// and read by the framework's packet assembly as a receiver would. It traps when:
// - a short event decodes to anything but whole messages with their status bytes;
// - a SysEx event decodes to other bytes than its data;
// - framing differs from this model of the kernel's: an event beginning with F0 starts a SysEx
//   (dropping an unfinished one, with one log line), other SysEx events continue it up to F7,
//   any other event but a real-time one ends it (with a log line) and passes as it is; what a
//   SysEx event holds after that F7 (as a program may send it) is read as messages (a real-time
//   byte inside one first, then the message), and bytes that begin none are left out with one
//   log line;
// - a receiver's assembly is left inside a SysEx after a delivery (the layers would disagree), or
//   reads other messages than were delivered;
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

// Counts the lines that tell of a dropped SysEx.
class CountingLogSink final : public platform::LogSink {
public:
    void write(const platform::LogEntry& entry) override {
        if (entry.text.find("an unfinished SysEx of") != std::string::npos) ++drops;
        if (entry.text.find("begin no message") != std::string::npos) ++strays;
    }
    int drops = 0;
    int strays = 0;
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

// Receivers 1 and 2 are packet-list ports, 3 a universal-packet port, 4 a virtual destination.
constexpr MIDIObjectRef kUniversalPort = 3;

bool isRealTime(std::uint8_t byte) {
    return byte >= 0xF8;
}

// Undefined real-time bytes: they may stand anywhere, and every receiver ignores them.
bool isUndefined(std::uint8_t byte) {
    return byte == 0xF9 || byte == 0xFD;
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

// What a packet-list receiver's assembly reads, and this model of the sender's SysEx.
struct Receiver {
    sonabel::SysExAssembler assembler;
    bool open = false;
    Bytes sysEx;
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
            const int source = op & 3;
            const MIDIObjectRef receiver = 1 + ((op >> 2) & 3);
            if (op & 0x10) {
                special(source, receiver);
                continue;
            }
            snd_seq_event_t event = makeEvent();
            deliver(event, source, receiver);
        }
    }

private:
    void special(int source, MIDIObjectRef receiver) {
        switch (input_.byte() & 3) {
        case 0: {
            // A burst of one real-time message, each its own event, as a busy sender gives them.
            const std::uint8_t kind = input_.byte();
            const std::size_t count = 1 + input_.u16() % 300;
            const auto type = kind & 1 ? SND_SEQ_EVENT_SENSING : SND_SEQ_EVENT_CLOCK;
            for (std::size_t i = 0; i < count; ++i) {
                snd_seq_event_t event{};
                event.type = type;
                deliver(event, source, receiver, i == 0);
            }
            return;
        }
        case 1:
            // Lost input: every unfinished SysEx is gone, without a line of the framing's.
            translation_.forgetAll();
            for (auto& [key, state] : receivers_)
                state.open = false;
            return;
        case 2:
            translation_.forgetSender(sourceRef(source));
            for (auto& [key, state] : receivers_)
                if (key.second == sourceRef(source)) state.open = false;
            return;
        default:
            translation_.forgetReceiver(receiver);
            for (auto& [key, state] : receivers_)
                if (key.first == receiver) state.open = false;
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
        auto& state = receivers_[{receiver, sourceRef(source)}];
        const Bytes expected = model(state, bytes, sysExEvent);
        const int dropsBefore = logSink().drops;
        const int straysBefore = logSink().strays;
        Bytes out;
        translation_.frame(receiver, sourceRef(source), "fuzz", event, bytes, out);
        check(out == expected);
        check(logSink().drops == dropsBefore + expectedDrops_);
        check(logSink().strays == straysBefore + expectedStrays_);
        if (out.empty()) return;
        if (receiver == kUniversalPort) {
            words_.clear();
            translation_.toWords(out, words_);
            checkWords();
            return;
        }
        // The receiver reads whole messages only, and is never left inside a SysEx.
        PacketListBuilder list;
        list.addSplit(1, out);
        Bytes read;
        for (const auto& packet : packetsOf(list)) {
            check(!packet.data.empty() && packet.data.size() <= kMIDIPacketDataCapacity);
            sonabel::MIDIPacketIterator iterator(sonabel::MIDIPacketView(packet.timeStamp, packet.data),
                                                 state.assembler);
            while (const auto message = iterator.nextMessage())
                read.insert(read.end(), message->bytes.begin(), message->bytes.end());
        }
        check(!state.assembler.isReceivingSysEx() && read == out);
    }

    // The kernel's framing: what the receiver should get for these bytes, and how many SysEx
    // drops are logged.
    Bytes model(Receiver& state, const Bytes& bytes, bool sysExEvent) {
        expectedDrops_ = 0;
        expectedStrays_ = 0;
        if (bytes.empty()) return {};
        if (!sysExEvent) {
            if (!isRealTime(bytes[0]) && state.open) {
                state.open = false;
                expectedDrops_ = 1;
            }
            return bytes;
        }
        if (bytes[0] == 0xF0) {
            if (state.open) expectedDrops_ = 1;
            state.open = true;
            state.sysEx.clear();
        }
        // Up to the first F7 the event continues an open SysEx, or the rest of one whose start
        // was lost; a program's event may hold more messages after it (the kernel's never do).
        Bytes out;
        std::size_t at = takeSysEx(state, bytes, 0, out);
        int stray = 0;
        while (at < bytes.size()) {
            const std::size_t length = messageLength(bytes[at]);
            if (bytes[at] == 0xF0) {
                state.open = true;
                state.sysEx.clear();
                at = takeSysEx(state, bytes, at, out);
            } else if (isUndefined(bytes[at])) {
                ++at;
            } else if (length > 0 && readMessage(bytes, at, length, out, stray)) {
                continue;
            } else {
                ++stray;
                ++at;
            }
        }
        expectedStrays_ = stray > 0 ? 1 : 0;
        return out;
    }

    // A message from `at`, as the wire gives it: a real-time byte may stand among its data bytes
    // and comes first, an undefined one is left out; another status byte cuts it short (its bytes but the
    // real-time ones are strays) and begins the next. False when the event ends before the message does.
    static bool readMessage(const Bytes& bytes, std::size_t& at, std::size_t length, Bytes& out, int& stray) {
        Bytes realTime, message{bytes[at]};
        std::size_t i = at + 1, ignored = 0;
        bool cut = false;
        while (message.size() < length) {
            if (i >= bytes.size()) return false;
            if (isUndefined(bytes[i]))
                ++ignored;
            else if (isRealTime(bytes[i]))
                realTime.push_back(bytes[i]);
            else if (bytes[i] >= 0x80) {
                cut = true;
                break;
            } else
                message.push_back(bytes[i]);
            ++i;
        }
        out.insert(out.end(), realTime.begin(), realTime.end());
        if (cut)
            stray += static_cast<int>(i - at - realTime.size() - ignored);
        else
            out.insert(out.end(), message.begin(), message.end());
        at = i;
        return true;
    }

    // Bytes from `at` up to the first F7 into the open SysEx; appends it to out once whole.
    static std::size_t takeSysEx(Receiver& state, const Bytes& bytes, std::size_t at, Bytes& out) {
        const auto f7 = std::find(bytes.begin() + at, bytes.end(), 0xF7);
        const auto end = f7 == bytes.end() ? f7 : f7 + 1;
        if (state.open) state.sysEx.insert(state.sysEx.end(), bytes.begin() + at, end);
        if (state.open && f7 != bytes.end()) {
            state.open = false;
            out.insert(out.end(), state.sysEx.begin(), state.sysEx.end());
        }
        return static_cast<std::size_t>(end - bytes.begin());
    }

    // Short messages go out as typed events and come back the same.
    void checkRoundTrip(const Bytes& bytes) {
        Bytes back;
        AlsaTranslation::OpenSysEx inSysEx;
        const int status = translation_.encode(bytes, 256, inSysEx, [&](snd_seq_event_t& event, std::size_t) {
            translation_.decode(event, back);
            return 0;
        });
        check(status == 0 && inSysEx.empty() && back == bytes);
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
    std::map<std::pair<MIDIObjectRef, std::uint32_t>, Receiver> receivers_;
    std::vector<std::uint32_t> words_;
    std::unique_ptr<std::uint8_t[]> sysEx_;
    std::size_t sysExLength_ = 0;
    std::size_t sysExBudget_ = 100'000;
    int expectedDrops_ = 0;
    int expectedStrays_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input input(data, size);
    Run run(input);
    run.play();
    return 0;
}
