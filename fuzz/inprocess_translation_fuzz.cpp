// Feeds the in-process server's translation packets from several senders, with time stamps that
// step, jump past the silence rule or go back, to both kinds of receiver and to a virtual
// destination, with senders forgotten between them. Each packet list is read by the framework's
// packet assembly as a receiver would, each event list word by word. It traps when:
// - a receiver of either kind is handed part of a SysEx (a list ends inside one, a piece comes out
//   of order, a message read from packets begins with F0 without ending in F7);
// - universal packets are not well-formed messages of types 1, 2 and 3;
// - a virtual destination gets other packets than a port for the same sender's packets;
// - for senders that keep to MIDI (whole short messages in a packet, SysEx of 8-bit data cut
//   anywhere, a SysEx that a silence interrupted resumed with its tail), the two kinds read other
//   messages or stamps. The first input byte's low bit lets a run send any bytes instead.
#include "fuzz/FuzzSupport.h"
#include "platform/core/LogSink.h"
#include "platform/midi/EventListReader.h"
#include "platform/midi/MIDIByteReader.h"
#include "platform/midi/inprocess/InProcessTranslation.h"
#include "sonabel/midi/MIDIPacketIterator.h"
#include "sonabel/midi/MIDIPacketView.h"
#include "sonabel/midi/SysExAssembler.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

using platform::midi::InProcessTranslation;
using platform::midi::MIDIByteReader;
using platform::midi::PacketListReader;
using Bytes = std::vector<std::uint8_t>;

namespace {

using fuzzsupport::check;

constexpr MIDITimeStamp kSecond = 1'000'000'000;
constexpr MIDIObjectRef kDestination = 50;
constexpr int kSenders = 4;

void quietLog() {
    static const bool once = [] {
        platform::LogSink::setCurrent(std::make_shared<fuzzsupport::DiscardingLogSink>());
        return true;
    }();
    (void)once;
}

struct Message {
    MIDITimeStamp timeStamp;
    Bytes bytes;
    bool operator==(const Message&) const = default;
};

// The input read front to back; past its end every read gives zeros.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// What a packet-list receiver reads, as whole messages with their packet's stamp.
std::vector<Message> readPackets(const platform::midi::PacketListBuilder* list,
                                 sonabel::SysExAssembler& assembler) {
    std::vector<Message> out;
    if (!list) return out;
    PacketListReader reader(list->list(), list->size());
    PacketListReader::Packet packet;
    while (reader.next(packet)) {
        check(!packet.data.empty() && packet.data.size() <= kMIDIPacketDataCapacity);
        sonabel::MIDIPacketIterator iterator(sonabel::MIDIPacketView(packet.timeStamp, packet.data),
                                             assembler);
        while (const auto message = iterator.nextMessage()) {
            if (message->bytes.empty()) continue;
            const Bytes bytes(message->bytes.begin(), message->bytes.end());
            check(bytes[0] != 0xF0 || bytes.back() == 0xF7);
            out.push_back({packet.timeStamp, bytes});
        }
    }
    check(!reader.malformed() && reader.declaredCount() == list->count());
    check(!assembler.isReceivingSysEx());
    return out;
}

// The messages of an event list's words; each SysEx whole within the list.
std::vector<Message> readWords(const platform::midi::EventListBuilder* list) {
    std::vector<Message> out;
    if (!list) return out;
    platform::midi::EventListReader reader(list->list(), list->size());
    platform::midi::EventListReader::Packet packet;
    Bytes sysEx;
    bool open = false;
    while (reader.next(packet)) {
        const auto& w = packet.words;
        for (std::size_t i = 0; i < w.size(); ++i) {
            const std::uint32_t type = w[i] >> 28;
            check(type >= 1 && type <= 3);
            if (type == 3) {
                check(i + 1 < w.size());
                const std::uint32_t status = (w[i] >> 20) & 0xF, count = (w[i] >> 16) & 0xF;
                check(status <= 3 && count <= 6 && (status <= 1) != open);
                const std::uint8_t b[6] = {std::uint8_t(w[i] >> 8),      std::uint8_t(w[i]),
                                           std::uint8_t(w[i + 1] >> 24), std::uint8_t(w[i + 1] >> 16),
                                           std::uint8_t(w[i + 1] >> 8),  std::uint8_t(w[i + 1])};
                if (status <= 1) sysEx = {0xF0};
                sysEx.insert(sysEx.end(), b, b + count);
                open = status == 1 || status == 2;
                if (!open) {
                    sysEx.push_back(0xF7);
                    out.push_back({packet.timeStamp, sysEx});
                }
                ++i;
                continue;
            }
            check(!open);
            const auto status = static_cast<std::uint8_t>(w[i] >> 16);
            // An undefined status (F4, F5, F9, FD) from bytes that are no MIDI passes as a word of its own.
            const std::size_t length = std::max<std::size_t>(MIDIByteReader::messageLength(status), 1);
            const Bytes all{status, std::uint8_t(w[i] >> 8), std::uint8_t(w[i])};
            out.push_back(
                {packet.timeStamp, Bytes(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(length))});
        }
    }
    check(!reader.malformed() && !open);
    return out;
}

class Run {
public:
    explicit Run(Input& input) : input_(input), midi_(!(input.byte() & 1)) {}

    void play() {
        while (!input_.empty() && budget_ > 0) {
            const std::uint8_t op = input_.byte();
            const int sender = op % kSenders;
            if ((op & 0xF0) == 0xF0) {
                // A sender that went away; one by the same name later starts clean.
                translation_.forget(sourceRef(sender));
                translation_.forget(portRef(sender));
                senders_[sender] = {};
                continue;
            }
            send(sender, 1 + (op >> 2) % 4);
        }
    }

private:
    struct Sender {
        MIDITimeStamp last = 5 * kSecond;
        bool inSysEx = false; // as the sender sees it
        sonabel::SysExAssembler fromSource, toDestination;
    };

    static MIDIEndpointRef sourceRef(int sender) { return static_cast<MIDIEndpointRef>(100 + sender); }
    static MIDIPortRef portRef(int sender) { return static_cast<MIDIPortRef>(200 + sender); }

    void send(int sender, std::size_t count) {
        auto& state = senders_[sender];
        std::vector<Bytes> data(count);
        std::vector<PacketListReader::Packet> packets;
        for (auto& bytes : data) {
            const std::uint8_t step = input_.byte();
            MIDITimeStamp at = state.last;
            if (step < 200)
                at += MIDITimeStamp{step} * 1'000'000;
            else if (step < 240)
                at += kSecond + MIDITimeStamp{step};
            else
                at -= std::min<MIDITimeStamp>(at - 1, MIDITimeStamp{step - 239u} * 300'000'000);
            const bool silence = at > state.last && at - state.last > kSecond;
            state.last = at;
            bytes = midi_ ? packetOfMIDI(state, silence) : packetOfAnything();
            if (bytes.empty()) bytes.push_back(0xF8);
            budget_ -= static_cast<std::ptrdiff_t>(bytes.size());
            packets.push_back({at, bytes});
        }
        const auto lists = translation_.fromSource(sourceRef(sender), "fuzz", packets, true, true);
        const auto packetMessages = readPackets(lists.packets.get(), state.fromSource);
        const auto wordMessages = readWords(lists.events.get());
        if (midi_) check(packetMessages == wordMessages);
        // A port's packets to a virtual destination are framed as a source's.
        const Bytes sent = bytesOf(lists.packets.get());
        const auto toDestination = translation_.toDestination(kDestination, portRef(sender), "fuzz", packets);
        check(readPackets(toDestination.get(), state.toDestination) == packetMessages);
        check(bytesOf(toDestination.get()) == sent);
    }

    static Bytes bytesOf(const platform::midi::PacketListBuilder* list) {
        Bytes out;
        if (!list) return out;
        PacketListReader reader(list->list(), list->size());
        PacketListReader::Packet packet;
        while (reader.next(packet))
            out.insert(out.end(), packet.data.begin(), packet.data.end());
        return out;
    }

    Bytes packetOfAnything() {
        Bytes bytes(input_.byte() % 40);
        for (auto& byte : bytes)
            byte = input_.byte();
        return bytes;
    }

    // A packet as a sender that keeps to MIDI makes it: short messages whole, SysEx cut anywhere.
    Bytes packetOfMIDI(Sender& state, bool silence) {
        Bytes bytes;
        if (state.inSysEx && silence) {
            // A sender that paused inside a SysEx and resumes with its tail.
            sysExData(bytes, 1);
            if (bytes[0] >= 0x80) bytes[0] &= 0x7F;
            bytes.push_back(0xF7);
            state.inSysEx = false;
        }
        for (std::size_t items = 1 + input_.byte() % 6; items > 0; --items) {
            const std::uint8_t kind = input_.byte();
            if (state.inSysEx) {
                sysExData(bytes, 0);
                if (kind & 1) {
                    bytes.push_back(0xF7);
                    state.inSysEx = false;
                }
                continue;
            }
            if (kind < 40) {
                static constexpr std::array<std::uint8_t, 6> realTime{0xF8, 0xFA, 0xFB, 0xFC, 0xFE, 0xFF};
                bytes.push_back(realTime[kind % realTime.size()]);
            } else if (kind < 100) {
                bytes.push_back(0xF0);
                state.inSysEx = true;
                sysExData(bytes, 0);
            } else {
                static constexpr std::array<std::uint8_t, 11> statuses{0x80, 0x90, 0xA0, 0xB0, 0xC0, 0xD0,
                                                                       0xE0, 0xF1, 0xF2, 0xF3, 0xF6};
                std::uint8_t status = statuses[kind % statuses.size()];
                if (status < 0xF0) status = static_cast<std::uint8_t>(status | (kind >> 4));
                bytes.push_back(status);
                for (std::size_t k = 1; k < MIDIByteReader::messageLength(status); ++k)
                    bytes.push_back(input_.byte() & 0x7F);
            }
        }
        return bytes;
    }

    // Data of any value but F7, sometimes a long run.
    void sysExData(Bytes& bytes, std::size_t atLeast) {
        const std::uint8_t length = input_.byte();
        const std::size_t count = std::max<std::size_t>(atLeast, length < 250 ? length % 24 : 300 + length);
        for (std::size_t k = 0; k < count; ++k) {
            std::uint8_t byte = input_.byte();
            if (byte == 0xF7) byte = 0x55;
            bytes.push_back(byte);
        }
    }

    Input& input_;
    const bool midi_;
    InProcessTranslation translation_;
    std::array<Sender, kSenders> senders_;
    std::ptrdiff_t budget_ = 200'000;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    quietLog();
    Input input(data, size);
    Run run(input);
    run.play();
    return 0;
}
