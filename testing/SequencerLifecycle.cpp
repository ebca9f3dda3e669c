// The sequencer server's lifecycle script and its reference model.
#include "testing/SequencerLifecycle.h"

#include "platform/core/BackgroundJobs.h"
#include "platform/core/HostClock.h"
#include "platform/core/LogSink.h"
#include "platform/core/Sleeper.h"
#include "platform/midi/EventListReader.h"
#include "platform/midi/PacketListBuilder.h"
#include "platform/midi/PacketListReader.h"
#include "platform/midi/alsa/AlsaOutput.h"
#include "platform/midi/alsa/AlsaServer.h"
#include "platform/midi/inprocess/InProcessServer.h"
#include "sonabel/midi/MIDI.h"
#include "testing/FakeSequencer.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace alsatest {

namespace {

using platform::midi::AlsaOutput;
using platform::midi::AlsaPortInfo;
using platform::midi::AlsaServer;
using platform::midi::AlsaServerConfig;
using platform::midi::SendFailure;
using Bytes = std::vector<std::uint8_t>;
// Length first: ordering by bytes alone makes GCC's optimiser warn of a memcmp overread.
struct ShorterFirst {
    bool operator()(const Bytes& a, const Bytes& b) const {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    }
};

constexpr int kOwnClient = 128;
// Two devices (kernel clients) and two programs, two port numbers each.
constexpr std::array<int, 4> kClients{20, 21, 130, 131};
constexpr unsigned kSource = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
constexpr unsigned kDestination = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
// Listed both ways, as a source only, as a destination only (an unlisted sender), not at all.
constexpr std::array<unsigned, 5> kCapabilities{kSource | kDestination, kSource, kDestination,
                                                SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_WRITE,
                                                kSource | kDestination | SND_SEQ_PORT_CAP_NO_EXPORT};
constexpr auto kDeadline = std::chrono::seconds(30);
// Rules the server does not keep yet: our output's subscription ended by another program is made
// again before the next send; a receiver that stalled, and still takes nothing, fails at once.
constexpr bool kOutsideEndMadeAgain = false;
constexpr bool kStalledFailsAtOnce = false;

bool isRealTime(std::uint8_t byte) {
    return byte >= 0xF8;
}

// F9 and FD stand where real-time bytes may, but mean nothing: a receiver gets neither.
bool isUndefined(std::uint8_t byte) {
    return byte == 0xF9 || byte == 0xFD;
}

// Bytes of the message a status begins, 0 for a byte that begins none.
std::size_t lengthOf(std::uint8_t status) {
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

std::string hex(std::span<const std::uint8_t> bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 48 && bytes.size() > 56) return out + " ... (" + std::to_string(bytes.size()) + " bytes)";
        if (i > 0) out += ' ';
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

bool listedAsSource(unsigned capability) {
    return !(capability & SND_SEQ_PORT_CAP_NO_EXPORT) && (capability & kSource) == kSource;
}

bool isKernel(int client) {
    return client < kOwnClient;
}

class Script {
public:
    explicit Script(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    bool done() const { return at_ >= bytes_.size(); }
    std::uint8_t next() { return at_ < bytes_.size() ? bytes_[at_++] : 0; }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
};

// The lines that say a sender's unfinished SysEx was dropped: the names they give, in order.
class DropLog final : public platform::LogSink {
public:
    void write(const platform::LogEntry& entry) override {
        static constexpr std::string_view from = "MIDI input from ", dropped = ": an unfinished SysEx of ";
        const std::string_view text = entry.text;
        const auto at = text.find(dropped);
        if (!text.starts_with(from) || at == std::string_view::npos) return;
        std::lock_guard lock(mutex_);
        names_.emplace_back(text.substr(from.size(), at - from.size()));
    }
    // The names of the lines since the last call.
    std::vector<std::string> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(names_, {});
    }

private:
    std::mutex mutex_;
    std::vector<std::string> names_;
};

// What a receiver of one of our ports reads, message by message in the wire's order (a SysEx as
// one message, F7 and all once whole; real-time bytes each one), and whether a SysEx is open.
struct Wire {
    std::vector<Bytes> messages;
    bool open = false;
    MIDITimeStamp last = 0; // the last send's stamp
    std::string broken;     // an event that broke the wire's framing
};

// Equal up to the bytes the output holds back of an open SysEx, its F0 among them.
bool agree(const Wire& received, const Wire& sent) {
    const auto& r = received.messages;
    const auto& s = sent.messages;
    const bool heldWhole = sent.open && r.size() + 1 == s.size();
    if (r.size() != s.size() && !heldWhole) return false;
    for (std::size_t i = 0; i < r.size(); ++i) {
        const bool last = i + 1 == s.size() && sent.open;
        if (last ? r[i].size() > s[i].size() || !std::equal(r[i].begin(), r[i].end(), s[i].begin())
                 : r[i] != s[i])
            return false;
    }
    return true;
}

// Applies one send as the wire reads it: running status within the send only, a message cut short
// left out, real-time bytes where they stand, a SysEx until its F7 (ended before the send toward a
// device by a status byte, toward a program only after a silence); false when a device refuses it
// for a SysEx data byte it would read as status.
bool applySend(Wire& sent, bool kernel, std::span<const std::uint8_t> bytes, MIDITimeStamp at) {
    Wire m = sent;
    const bool silent = at > sent.last && at - sent.last > AlsaOutput::kSilenceEndsSysEx;
    if (m.open && bytes[0] >= 0x80 && bytes[0] < 0xF7 && (kernel || silent)) m.open = false;
    Bytes pending;
    std::uint8_t running = 0;
    for (const std::uint8_t byte : bytes) {
        if (m.open) {
            if (kernel && byte >= 0x80 && byte < 0xF7) return false;
            m.messages.back().push_back(byte);
            m.open = byte != 0xF7;
        } else if (isRealTime(byte)) {
            if (!isUndefined(byte)) m.messages.push_back({byte});
        } else if (byte >= 0x80) {
            pending = {byte};
            running = byte < 0xF0 ? byte : 0;
            m.open = byte == 0xF0;
            if (m.open || lengthOf(byte) == 0) pending.clear();
            if (m.open) m.messages.push_back({byte});
        } else if (!pending.empty() || running) {
            if (pending.empty()) pending = {running};
            pending.push_back(byte);
        }
        if (!pending.empty() && pending.size() == lengthOf(pending[0])) {
            m.messages.push_back(pending);
            pending.clear();
        }
    }
    m.last = at;
    sent = std::move(m);
    return true;
}

// What a receiver got: whole messages, from packets (a SysEx may come in pieces) or universal
// packets, and what a delivery left open.
struct Reading {
    std::vector<Bytes> got;
    Bytes pending;
    Bytes umpSysEx;
    bool umpOpen = false;
    std::string broken;

    void bytes(std::span<const std::uint8_t> bytes) {
        pending.insert(pending.end(), bytes.begin(), bytes.end());
        std::size_t at = 0;
        while (at < pending.size()) {
            std::size_t length = std::max<std::size_t>(lengthOf(pending[at]), 1);
            if (pending[at] == 0xF0) {
                const auto f7 =
                    std::find(pending.begin() + static_cast<std::ptrdiff_t>(at), pending.end(), 0xF7);
                if (f7 == pending.end()) break;
                length = static_cast<std::size_t>(f7 - pending.begin()) + 1 - at;
            }
            if (at + length > pending.size()) break;
            got.emplace_back(pending.begin() + static_cast<std::ptrdiff_t>(at),
                             pending.begin() + static_cast<std::ptrdiff_t>(at + length));
            at += length;
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(at));
    }

    void words(std::span<const std::uint32_t> words) {
        for (std::size_t i = 0; i < words.size(); ++i) {
            const std::uint32_t w = words[i];
            const unsigned type = w >> 28;
            if (type == 3 && i + 1 < words.size()) {
                const std::uint32_t w1 = words[++i];
                const unsigned status = (w >> 20) & 0xF, count = std::min((w >> 16) & 0xF, 6u);
                const std::uint8_t b[6] = {std::uint8_t(w >> 8),   std::uint8_t(w),
                                           std::uint8_t(w1 >> 24), std::uint8_t(w1 >> 16),
                                           std::uint8_t(w1 >> 8),  std::uint8_t(w1)};
                if (status <= 1) {
                    umpSysEx = {0xF0};
                    umpOpen = true;
                } else if (!umpOpen) {
                    broken = " got a SysEx piece with none begun";
                    return;
                }
                umpSysEx.insert(umpSysEx.end(), b, b + count);
                if (status == 0 || status == 3) {
                    umpSysEx.push_back(0xF7);
                    got.push_back(umpSysEx);
                    umpOpen = false;
                }
                continue;
            }
            if (type != 1 && type != 2) {
                broken = " got a word of type " + std::to_string(type);
                return;
            }
            const auto status = std::uint8_t(w >> 16);
            const Bytes all{status, std::uint8_t(w >> 8), std::uint8_t(w)};
            got.emplace_back(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(
                                                            std::max<std::size_t>(lengthOf(status), 1)));
        }
    }
};

// A piece of what a sender has yet to send: cut anywhere when `cuttable` (inside a SysEx), else
// whole, so that no short message is cut across events.
struct Segment {
    Bytes bytes;
    bool cuttable = false;
};

// The in-process server, driven by the same sends: our output port's to a program's destination,
// our source's and every sender's (an external source each) to a program's packet and event
// ports. Its contract: a SysEx goes on until F7 whatever the bytes, and is dropped once its sender
// was silent for over a second (by the stamps); there is no running status; a message cut short by
// a status byte is dropped and reading goes on at that byte; a data byte where a status belongs, or
// an undefined status, ends what is read of the packet. Every receiver gets exactly that, in order.
class InProcessTwin {
public:
    explicit InProcessTwin(platform::ManualClock& clock) : clock_(clock) {
        platform::midi::InProcessServerConfig config;
        config.manualDelivery = true;
        config.clock = &clock;
        server_ = std::make_unique<platform::midi::InProcessServer>(config);
        MIDIClientRef ours = 0, program = 0;
        server_->createClient("Lifecycle", {}, &ours);
        server_->createClient("Program", {}, &program);
        server_->createOutputPort(ours, "Out", &out_);
        server_->createSource(ours, "Source", &source_);
        const auto reader = [](Reading& reading) {
            return [&reading](const MIDIPacketList* list, ByteCount size, void*) {
                platform::midi::PacketListReader packets(list, size);
                platform::midi::PacketListReader::Packet packet;
                while (packets.next(packet))
                    reading.bytes(packet.data);
            };
        };
        server_->createDestination(program, "In", reader(got_[0]), &destination_);
        server_->createInputPortWithBlock(program, "Packets", reader(got_[1]), &packets_);
        server_->createInputPortWithProtocol(
            program, "Events", kMIDIProtocol_1_0,
            [this](const MIDIEventList* list, ByteCount size, void*) {
                platform::midi::EventListReader events(list, size);
                platform::midi::EventListReader::Packet packet;
                while (events.next(packet))
                    got_[2].words(packet.words);
            },
            &events_);
        connect(source_);
    }

    // A send of our output port, or our source, in packets that begin at `cuts`.
    void send(bool fromSource, std::span<const std::uint8_t> bytes, const std::vector<std::size_t>& cuts,
              MIDITimeStamp stamp) {
        platform::midi::PacketListBuilder list;
        std::size_t from = 0;
        for (const std::size_t cut : cuts) {
            add(list, bytes.subspan(from, cut - from), stamp, fromSource ? source_ : out_, fromSource);
            from = cut;
            stamp = (stamp ? stamp : clock_.now()) + 700'000'000;
        }
        add(list, bytes.subspan(from), stamp, fromSource ? source_ : out_, fromSource);
        if (fromSource)
            server_->received(source_, list.list(), list.size());
        else
            server_->send(out_, destination_, list.list(), list.size());
    }
    // An event of one of the script's senders, from an external source of its own.
    void senderSends(int sender, std::span<const std::uint8_t> bytes) {
        auto& source = external_[sender];
        if (!source) {
            server_->addExternalSource({.name = "p" + std::to_string(sender)}, &source);
            connect(source);
        }
        for (std::size_t i = 1; i < got_.size(); ++i)
            read(streams_[{source, &got_[i]}], bytes, clock_.now(), expected_[i]);
        server_->sendFromSource(source, bytes);
    }
    // Empty while every receiver got just what the contract says.
    std::string check() {
        server_->runPending();
        static constexpr const char* kNames[] = {"destination", "packet port", "event port"};
        for (std::size_t i = 0; i < got_.size(); ++i) {
            if (!got_[i].broken.empty()) return std::string("the in-process ") + kNames[i] + got_[i].broken;
            // A stray F7 passes along in a packet, as sent: every reader skips it.
            std::erase(got_[i].got, Bytes{0xF7});
            if (got_[i].got == expected_[i]) continue;
            std::string read, meant;
            for (const Bytes& m : got_[i].got)
                read += " [" + hex(m) + "]";
            for (const Bytes& m : expected_[i])
                meant += " [" + hex(m) + "]";
            return std::string("the in-process ") + kNames[i] + " got" + read + " where it should get" +
                   meant;
        }
        return {};
    }

private:
    struct Stream {
        bool open = false;
        Bytes sysEx;
        MIDITimeStamp last = 0;
    };
    void connect(MIDIEndpointRef source) {
        server_->connectSource(packets_, source, nullptr);
        server_->connectSource(events_, source, nullptr);
    }
    void add(platform::midi::PacketListBuilder& list, std::span<const std::uint8_t> bytes,
             MIDITimeStamp stamp, MIDIObjectRef from, bool fromSource) {
        list.add(stamp, bytes);
        const MIDITimeStamp at = stamp ? stamp : clock_.now();
        if (!fromSource) return read(streams_[{from, &got_[0]}], bytes, at, expected_[0]);
        for (std::size_t i = 1; i < got_.size(); ++i)
            read(streams_[{from, &got_[i]}], bytes, at, expected_[i]);
    }
    // One packet of a sender toward one receiver, as the contract reads it.
    static void read(Stream& s, std::span<const std::uint8_t> bytes, MIDITimeStamp at,
                     std::vector<Bytes>& out) {
        std::size_t i = 0;
        const auto collect = [&] {
            for (; i < bytes.size() && s.open; ++i) {
                s.sysEx.push_back(bytes[i]);
                if (bytes[i] == 0xF7) {
                    out.push_back(std::exchange(s.sysEx, {}));
                    s.open = false;
                }
            }
        };
        if (s.open && at > s.last && at - s.last > platform::midi::InProcessTranslation::kSilenceEndsSysEx) {
            // Dropped; the packet is read past its old tail, up to an F7 or a status.
            s = {};
            const auto f7 = std::find(bytes.begin(), bytes.end(), 0xF7);
            if (!bytes.empty() && bytes[0] < 0x80)
                i = static_cast<std::size_t>(f7 != bytes.end()
                                                 ? f7 + 1 - bytes.begin()
                                                 : std::find_if(bytes.begin(), bytes.end(), [](auto b) {
                                                       return b >= 0x80;
                                                   }) - bytes.begin());
        }
        s.last = at;
        collect();
        while (i < bytes.size()) {
            const std::uint8_t status = bytes[i];
            if (status == 0xF0) {
                s.open = true;
                collect();
                continue;
            }
            if (status == 0xF7 || isUndefined(status)) {
                ++i;
                continue;
            }
            const std::size_t length = lengthOf(status);
            if (length == 0) return;
            Bytes message{status}, realTime;
            std::size_t j = i + 1;
            bool cut = false;
            for (; message.size() < length; ++j) {
                if (j >= bytes.size()) return;
                if (isUndefined(bytes[j])) continue;
                if (isRealTime(bytes[j]))
                    realTime.push_back(bytes[j]);
                else if (bytes[j] >= 0x80 && (cut = true))
                    break;
                else
                    message.push_back(bytes[j]);
            }
            // The real-time bytes inside first, as the wire gave them.
            for (const std::uint8_t byte : realTime)
                out.push_back({byte});
            if (!cut) out.push_back(std::move(message));
            i = j;
        }
    }

    platform::ManualClock& clock_;
    std::unique_ptr<platform::midi::InProcessServer> server_;
    MIDIPortRef out_ = 0, packets_ = 0, events_ = 0;
    MIDIEndpointRef source_ = 0, destination_ = 0;
    std::array<Reading, 3> got_;                 // the destination, the packet port, the event port
    std::array<std::vector<Bytes>, 3> expected_; // likewise
    std::map<std::pair<MIDIObjectRef, const Reading*>, Stream> streams_;
    std::map<int, MIDIEndpointRef> external_;
};

// Advances the test's clock by what it is asked to sleep; while holding, the one thread it was
// told of stops at its first sleep until released.
class HeldSleeper final : public platform::Sleeper {
public:
    explicit HeldSleeper(platform::ManualClock& clock) : clock_(clock) {}
    void sleepFor(std::chrono::nanoseconds duration) override {
        {
            std::unique_lock lock(mutex_);
            if (holding_ && std::this_thread::get_id() == held_) {
                waiting_ = true;
                changed_.notify_all();
                changed_.wait_for(lock, kDeadline, [&] { return !holding_; });
                waiting_ = false;
            }
        }
        clock_.advance(static_cast<std::uint64_t>(duration.count()));
    }
    void hold() {
        std::lock_guard lock(mutex_);
        holding_ = true;
        held_ = {};
    }
    void holdThisThread() {
        std::lock_guard lock(mutex_);
        held_ = std::this_thread::get_id();
    }
    // True once the held thread waits; false once `done` holds instead, or the deadline passed.
    bool waitUntilHolding(const std::atomic<bool>& done, std::chrono::seconds deadline) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, deadline, [&] { return waiting_ || done; });
        return waiting_;
    }
    void wake() {
        std::lock_guard lock(mutex_);
        changed_.notify_all();
    }
    void release() {
        std::lock_guard lock(mutex_);
        holding_ = false;
        changed_.notify_all();
    }

private:
    platform::ManualClock& clock_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool holding_ = false;
    bool waiting_ = false;
    std::thread::id held_;
};

class Lifecycle {
public:
    Lifecycle(std::span<const std::uint8_t> script, std::string* trace);
    ~Lifecycle();
    std::string run();

private:
    struct Port {
        bool alive = false;
        int serial = 0;
        unsigned capability = 0;
        std::size_t capacity = 0; // a program's input pool, in events
        bool refuses = false;     // a device that refuses our subscription
    };
    struct Client {
        bool alive = false;
        std::string name;
        std::array<Port, 2> ports;
    };
    struct Sender {
        int client = 0;
        int port = 0;
    };
    struct Expected {
        Bytes bytes;
        int sender = 0;
        bool sysEx = false;
        bool ordered = false;
        bool matched = false;
    };
    // One of our input ports or our virtual destination, and what the model lets it get.
    struct Receiver {
        enum class Kind { packets, events, virtualDestination } kind{};
        int serial = 0;
        MIDIObjectRef ref = 0;
        int sequencerPort = -1; // the virtual destination's
        std::set<int> sources;  // senders it is connected to
        Reading reading;
        std::size_t checked = 0;
        // The model.
        std::vector<Expected> expected;
        std::map<Bytes, std::deque<std::size_t>, ShorterFirst> unmatched;
        std::map<std::uint8_t, int> realTime;
        std::map<int, std::size_t> lastOrdered;
        bool done = false;
        const char* name() const {
            return kind == Kind::packets  ? "the packet input port"
                   : kind == Kind::events ? "the event input port"
                                          : "the virtual destination";
        }
    };
    // A receiver's reading of one sender: the SysEx it is collecting.
    struct Pair {
        bool open = false;
        Bytes bytes;
    };
    struct Ours {
        MIDIObjectRef ref = 0;
        int sequencerPort = -1;
        bool isSource = false;
        std::deque<std::uint8_t> outbox;
    };

    // Steps.
    void step(std::uint8_t op);
    void clientStarts(int slot);
    void portStarts(int slot, int index);
    void portExits(int slot, int index);
    void clientExits(int slot);
    void capabilityChanges(int slot, int index);
    void clientRenamed(int slot);
    void senderSends(int slot, int index);
    void connect(Receiver& receiver);
    void disconnect(Receiver& receiver);
    void kernelUnsubscribes(int slot, int index);
    void overrun(int slot, bool withNews, bool ourSubscriptions);
    void renewReceiver(Receiver::Kind kind);
    struct Target {
        std::pair<int, int> key; // our port, the receiver's serial
        std::pair<int, int> address;
        bool kernel = false;
        bool refuses = false;
        bool frozen = false;
    };
    // One send of one of our ports, what the model expects of it and how it went.
    struct OurSend {
        Ours* ours = nullptr;
        MIDIEndpointRef destination = 0;
        MIDIUniqueID uid = 0; // sent through the MIDI object
        std::vector<Target> targets;
        Bytes bytes;
        std::vector<std::size_t> cuts; // where packets after the first begin
        MIDITimeStamp stamp = 0;       // the first packet's; 0 is now
        std::vector<Wire> next;
        std::vector<bool> refusedByte;
        OSStatus status = noErr;
        SendFailure::Kind kind{}; // told with a failure
        std::uint64_t took = 0;   // on the clock
    };
    // An event one of our ports wrote, as the fake saw it, on whichever thread wrote it.
    struct Write {
        int sourcePort = 0;
        std::pair<int, int> address;
        Bytes stored;
        int result = 0;
        bool sysEx = false;
    };
    void ourSend(int which, int layout = 0);
    void heldSend(int which);
    bool prepare(int which, OurSend& send, int layout = 0);
    OSStatus perform(OurSend& send);
    void evaluate(const std::vector<OurSend*>& sends, bool timed = false);
    void subscribeToOurSource(int slot, int index, bool subscribe);
    void renewOurs(int which);

    // World.
    void publishListing();
    void announce(int type, int client, int port);
    void announceUnsubscribed(int senderClient, int senderPort, int ourPort);
    void push(int slot, int index, int ourPort, const Bytes& bytes, bool sysEx);
    Port* portAt(int client, int port);
    int inputPort();
    bool subscribedToInput(int client, int port);
    std::vector<std::pair<MIDIEndpointRef, int>> listed(bool sources);
    int senderOf(MIDIEndpointRef ref);

    // Content.
    Bytes sysExMessage(std::size_t body, bool eightBit);
    Bytes shortMessage(std::uint8_t kind);
    std::deque<Segment> programEvent(std::size_t pieces);
    Bytes takeEvent(std::deque<Segment>& outbox, std::size_t length, bool kernelFraming);
    void ourContent(std::deque<std::uint8_t>& outbox);

    // Model.
    void feed(Receiver& receiver, int sender, const Bytes& bytes, bool sysEx);
    void collect(Receiver& receiver, int sender, Pair& pair, const Bytes& bytes, std::size_t& at);
    void expect(Receiver& receiver, int sender, const Bytes& bytes, bool sysEx);
    // The server ends the pair's unfinished SysEx, and a line says so.
    // A port that leaves takes its SysEx with it: a listed one's told or not, as the kernel's news of
    // the subscription's end and of the port's exit come.
    void interrupt(const Receiver& receiver, int sender, bool leaving = false);
    void check(Receiver& receiver);
    void finish(Receiver& receiver);
    void checkDrops();
    void settle();
    void fail(const std::string& what);
    void note(const std::string& what) {
        if (trace_) *trace_ += "step " + std::to_string(step_) + ": " + what + "\n";
    }

    Script script_;
    std::string* trace_;
    std::shared_ptr<DropLog> log_ = std::make_shared<DropLog>();
    std::shared_ptr<platform::LogSink> previousLog_;
    platform::BackgroundJobs jobs_;
    platform::ManualClock clock_;
    HeldSleeper sleeper_{clock_};
    InProcessTwin twin_{clock_};
    FakeSequencer* fake_ = nullptr;
    std::shared_ptr<AlsaServer> server_;
    MIDIClientRef client_ = 0;
    std::shared_ptr<sonabel::MIDI> midi_; // our second output port is the MIDI object's

    std::array<Client, kClients.size()> clients_;
    std::map<int, Sender> senders_;
    int serial_ = 0;
    int sysExTag_ = 0, shortTag_ = 0;
    std::vector<std::unique_ptr<Receiver>> receivers_;
    Receiver* packetIn_ = nullptr;
    Receiver* eventIn_ = nullptr;
    Receiver* virtualIn_ = nullptr;
    std::map<std::pair<int, int>, Pair> pairs_; // by receiver and sender
    std::map<int, int> droppedAloud_;           // by sender: the lines the model expects
    std::map<int, int> toldDropped_;            // by sender: the lines that name it
    std::map<int, int> mayBeTold_;              // by sender: lines that may come, or not
    // The ports each name stood for during this step, as a line names a sender: a listed source by
    // its client's name, or its own where the client lists more than one; any port by its address.
    std::map<std::string, std::set<int>> names_;
    std::set<std::pair<int, int>> subscribedToVirtual_; // sender, receiver
    // What is left to send, by address and whether to our input port: a program that takes the
    // address of one that left may go on with what that one had begun.
    std::map<std::tuple<int, int, bool>, std::deque<Segment>> outbox_;
    int inputPort_ = -1;

    std::array<Ours, 3> ours_;                             // two output ports and a source
    std::map<std::pair<int, int>, Wire> sent_;             // by our port and receiver
    std::map<std::pair<int, int>, Wire> receivedByOthers_; // likewise
    std::set<int> frozen_;                                 // receivers that take nothing
    std::set<int> stalled_;                                // frozen ones a send gave up on
    // Our port's subscriptions that another program ended, by our port and address.
    std::set<std::pair<int, std::pair<int, int>>> endedFromOutside_;
    std::map<std::pair<int, int>, int> lastResult_;
    std::vector<Write> writes_; // under the fake's lock while sends run

    snd_midi_event_t* encoder_ = nullptr;
    snd_midi_event_t* decoder_ = nullptr;
    int step_ = 0;
    std::string finding_;
    bool stopped_ = false;
    std::uint64_t kernelBytesPerSecond_ = 0, retryWait_ = 0, retryTimeout_ = 0; // ns
};

Lifecycle::Lifecycle(std::span<const std::uint8_t> script, std::string* trace)
    : script_(script), trace_(trace) {
    snd_midi_event_new(16, &encoder_);
    snd_midi_event_new(16, &decoder_);
    snd_midi_event_no_status(decoder_, 1);
    previousLog_ = platform::LogSink::setCurrent(log_);
    auto fake = std::make_unique<FakeSequencer>(clock_, kOwnClient);
    fake_ = fake.get();
    fake_->reusePortNumbers = true;
    fake_->onWrite = [this](const snd_seq_event_t& event, std::span<const std::uint8_t> stored, int result) {
        writes_.push_back({event.source.port,
                           {event.dest.client, event.dest.port},
                           {stored.begin(), stored.end()},
                           result,
                           event.type == SND_SEQ_EVENT_SYSEX});
    };
    AlsaServerConfig config;
    config.manualDelivery = true;
    config.jobs = &jobs_;
    config.clock = &clock_;
    config.sleeper = &sleeper_;
    config.sysExChunkBytes = 64;
    config.retryWait = std::chrono::milliseconds(20);
    config.retryTimeout = std::chrono::milliseconds(500);
    kernelBytesPerSecond_ = config.kernelBytesPerSecond;
    retryWait_ = static_cast<std::uint64_t>(config.retryWait.count());
    retryTimeout_ = static_cast<std::uint64_t>(config.retryTimeout.count());
    server_ = std::make_shared<AlsaServer>(std::move(fake), config);
    server_->createClient("Lifecycle", {}, &client_);
    renewReceiver(Receiver::Kind::packets);
    renewReceiver(Receiver::Kind::events);
    renewReceiver(Receiver::Kind::virtualDestination);
    for (int which = 0; which < 3; ++which)
        renewOurs(which);
}

Lifecycle::~Lifecycle() {
    midi_.reset();
    server_.reset();
    jobs_.joinAll();
    platform::LogSink::setCurrent(previousLog_);
    snd_midi_event_free(encoder_);
    snd_midi_event_free(decoder_);
}

void Lifecycle::fail(const std::string& what) {
    if (finding_.empty()) finding_ = "step " + std::to_string(step_) + ": " + what;
}

std::string Lifecycle::run() {
    while (!script_.done() && finding_.empty() && !stopped_) {
        ++step_;
        names_.clear();
        publishListing();
        step(script_.next());
        settle();
    }
    if (finding_.empty()) {
        ++step_;
        for (auto& receiver : receivers_)
            finish(*receiver);
        checkDrops();
    }
    return finding_;
}

void Lifecycle::step(std::uint8_t op) {
    const int slot = script_.next() % static_cast<int>(kClients.size());
    const int index = (op >> 5) & 1;
    switch (op % 20) {
    case 0:
        clientStarts(slot);
        break;
    case 1:
        portStarts(slot, index);
        break;
    case 2:
        portExits(slot, index);
        break;
    case 3:
        clientExits(slot);
        break;
    case 4:
        capabilityChanges(slot, index);
        break;
    case 5:
        clientRenamed(slot);
        break;
    case 6:
    case 7:
    case 8:
    case 9:
        senderSends(slot, index);
        break;
    case 10:
        connect(index ? *eventIn_ : *packetIn_);
        break;
    case 11:
        disconnect(index ? *eventIn_ : *packetIn_);
        break;
    case 12:
        kernelUnsubscribes(slot, index);
        break;
    case 13:
        if (op & 0x80) {
            overrun(slot, index, op & 0x40);
        } else {
            const std::uint64_t ms = std::uint64_t{script_.next()} * 20;
            clock_.advance(ms * 1'000'000);
            note(std::to_string(ms) + " ms pass");
        }
        break;
    case 14:
        renewReceiver(static_cast<Receiver::Kind>(slot % 3));
        break;
    case 15:
        ourSend(slot % 3, op / 20);
        break;
    case 16:
        if (op & 0x80)
            heldSend(slot % 3);
        else
            ourSend(slot % 3);
        break;
    case 17:
        subscribeToOurSource(slot, index, !(op & 0x80));
        break;
    case 18:
        if (op & 0x80)
            renewOurs(1 + index);
        else if (auto* port = clients_[slot].alive ? &clients_[slot].ports[index] : nullptr;
                 port && port->alive) {
            fake_->setFrozen(kClients[slot], index, !(op & 0x40));
            if (op & 0x40) {
                frozen_.erase(port->serial);
                stalled_.erase(port->serial);
            } else {
                frozen_.insert(port->serial);
            }
            note("p" + std::to_string(port->serial) + (op & 0x40 ? " reads again" : " stops reading"));
        }
        break;
    case 19:
        // Another program (or a connection tool) ends our output port's subscription to a port, and
        // the kernel tells every client.
        if (const int port = script_.next() & 1; portAt(kClients[slot], port)) {
            fake_->endOurSubscription(ours_[index].sequencerPort, kClients[slot], port);
            endedFromOutside_.insert({ours_[index].sequencerPort, {kClients[slot], port}});
            note("the kernel ends our port " + std::to_string(ours_[index].sequencerPort) +
                 "'s subscription to " + std::to_string(kClients[slot]) + ":" + std::to_string(port));
        }
        break;
    }
}

// World ----------------------------------------------------------------------------------------

Lifecycle::Port* Lifecycle::portAt(int client, int port) {
    for (std::size_t slot = 0; slot < kClients.size(); ++slot)
        if (kClients[slot] == client && clients_[slot].alive && port >= 0 && port < 2 &&
            clients_[slot].ports[port].alive)
            return &clients_[slot].ports[port];
    return nullptr;
}

void Lifecycle::publishListing() {
    std::vector<AlsaPortInfo> listing;
    for (std::size_t slot = 0; slot < kClients.size(); ++slot) {
        const Client& c = clients_[slot];
        if (!c.alive) continue;
        const auto sources = std::count_if(c.ports.begin(), c.ports.end(), [](const Port& port) {
            return port.alive && listedAsSource(port.capability);
        });
        for (int p = 0; p < 2; ++p) {
            const Port& port = c.ports[p];
            if (!port.alive) continue;
            names_[std::to_string(kClients[slot]) + ":" + std::to_string(p)].insert(port.serial);
            if (listedAsSource(port.capability))
                names_[sources > 1 ? "p" + std::to_string(port.serial) : c.name].insert(port.serial);
        }
        for (int p = 0; p < 2; ++p)
            if (c.ports[p].alive)
                listing.push_back({kClients[slot], p, c.name, "p" + std::to_string(c.ports[p].serial),
                                   c.ports[p].capability, isKernel(kClients[slot])});
    }
    fake_->setListing(std::move(listing));
}

void Lifecycle::announce(int type, int client, int port) {
    snd_seq_event_t e{};
    e.type = static_cast<snd_seq_event_type_t>(type);
    e.source = {SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE};
    e.dest = {kOwnClient, 0};
    e.data.addr = {static_cast<unsigned char>(client), static_cast<unsigned char>(port)};
    fake_->push(e);
}

void Lifecycle::announceUnsubscribed(int senderClient, int senderPort, int ourPort) {
    snd_seq_event_t e{};
    e.type = SND_SEQ_EVENT_PORT_UNSUBSCRIBED;
    e.source = {SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE};
    e.dest = {kOwnClient, 0};
    e.data.connect = {{static_cast<unsigned char>(senderClient), static_cast<unsigned char>(senderPort)},
                      {kOwnClient, static_cast<unsigned char>(ourPort)}};
    fake_->push(e);
}

int Lifecycle::inputPort() {
    if (inputPort_ < 0)
        for (int port : fake_->ownPorts())
            if (fake_->capabilityOf(port) == (SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT))
                inputPort_ = port;
    return inputPort_;
}

bool Lifecycle::subscribedToInput(int client, int port) {
    if (inputPort() < 0) return false;
    const auto connections = fake_->connections();
    auto it = connections.find(inputPort_);
    return it != connections.end() &&
           std::find(it->second.begin(), it->second.end(), std::pair{client, port}) != it->second.end();
}

void Lifecycle::clientStarts(int slot) {
    Client& c = clients_[slot];
    // A program that restarts: another client takes its address at once.
    if (c.alive) clientExits(slot);
    const int client = kClients[slot];
    c.alive = true;
    c.name = (isKernel(client) ? "Device " : "Program ") + std::to_string(++serial_);
    note(c.name + " starts at " + std::to_string(client));
    publishListing();
    announce(SND_SEQ_EVENT_CLIENT_START, client, 0);
    const std::uint8_t ports = script_.next();
    for (int p = 0; p < 2; ++p)
        if (ports & (1 << p)) portStarts(slot, p);
}

void Lifecycle::portStarts(int slot, int index) {
    Client& c = clients_[slot];
    Port& port = c.ports[index];
    if (!c.alive || port.alive) return;
    const int client = kClients[slot];
    const std::uint8_t how = script_.next();
    // A new port has no subscriptions, whatever was made to its address before.
    if (inputPort() >= 0) fake_->disconnectFrom(inputPort_, client, index);
    port.alive = true;
    port.serial = ++serial_;
    port.capability = kCapabilities[how % kCapabilities.size()];
    port.capacity = 1 + (how >> 3) % 8;
    port.refuses = isKernel(client) && (how & 0x80);
    note(std::to_string(client) + ":" + std::to_string(index) + " starts as p" + std::to_string(port.serial) +
         ", capability " + std::to_string(port.capability) + ", pool " + std::to_string(port.capacity) +
         (port.refuses ? ", refusing subscriptions" : ""));
    senders_[port.serial] = {client, index};
    if (port.capability & SND_SEQ_PORT_CAP_WRITE) {
        fake_->addDestination(client, index, isKernel(client), isKernel(client) ? 4096 : port.capacity);
        if (port.refuses) fake_->refuseSubscriptions(client, index, -EBUSY);
    }
    publishListing();
    announce(SND_SEQ_EVENT_PORT_START, client, index);
}

void Lifecycle::portExits(int slot, int index) {
    Client& c = clients_[slot];
    Port& port = c.ports[index];
    if (!c.alive || !port.alive) return;
    const int client = kClients[slot];
    // The kernel ends the port's subscriptions, and tells of those that end at our ports.
    if (subscribedToInput(client, index)) {
        fake_->disconnectFrom(inputPort_, client, index);
        announceUnsubscribed(client, index, inputPort_);
        for (Receiver* receiver : {packetIn_, eventIn_})
            if (receiver->sources.contains(port.serial)) interrupt(*receiver, port.serial, true);
    }
    for (auto it = subscribedToVirtual_.begin(); it != subscribedToVirtual_.end();) {
        if (it->first == port.serial) {
            if (it->second == virtualIn_->serial) {
                announceUnsubscribed(client, index, virtualIn_->sequencerPort);
                interrupt(*virtualIn_, port.serial, true);
            }
            it = subscribedToVirtual_.erase(it);
        } else {
            ++it;
        }
    }
    for (const Ours& ours : ours_)
        fake_->unsubscribe(ours.sequencerPort, client, index);
    fake_->removeDestination(client, index);
    note(std::to_string(client) + ":" + std::to_string(index) + " leaves");
    // Whatever a receiver was collecting from it ends, and so do our connections to it.
    for (const auto& receiver : receivers_)
        interrupt(*receiver, port.serial, true);
    port.alive = false;
    publishListing();
    announce(SND_SEQ_EVENT_PORT_EXIT, client, index);
    for (auto& receiver : receivers_)
        receiver->sources.erase(port.serial);
}

void Lifecycle::clientExits(int slot) {
    Client& c = clients_[slot];
    if (!c.alive) return;
    for (int p = 0; p < 2; ++p)
        portExits(slot, p);
    c.alive = false;
    note(c.name + " leaves");
    publishListing();
    announce(SND_SEQ_EVENT_CLIENT_EXIT, kClients[slot], 0);
}

void Lifecycle::capabilityChanges(int slot, int index) {
    Client& c = clients_[slot];
    Port& port = c.ports[index];
    const std::uint8_t how = script_.next();
    if (!c.alive || !port.alive) return;
    const unsigned capability = kCapabilities[how % kCapabilities.size()];
    // Write access stays as it was: the kernel does not take a destination from under a writer.
    if ((capability & SND_SEQ_PORT_CAP_WRITE) != (port.capability & SND_SEQ_PORT_CAP_WRITE)) return;
    const bool wasSource = listedAsSource(port.capability);
    port.capability = capability;
    note(std::to_string(kClients[slot]) + ":" + std::to_string(index) + " now has capability " +
         std::to_string(capability));
    publishListing();
    announce(SND_SEQ_EVENT_PORT_CHANGE, kClients[slot], index);
    // No longer a source: the server drops our connections to it, and what they were collecting.
    // Our destination hears it on, by its address, and what it was collecting goes on too.
    if (wasSource && !listedAsSource(capability)) {
        for (Receiver* receiver : {packetIn_, eventIn_}) {
            if (receiver->sources.erase(port.serial)) pairs_.erase({receiver->serial, port.serial});
        }
    }
}

void Lifecycle::clientRenamed(int slot) {
    Client& c = clients_[slot];
    if (!c.alive) return;
    c.name = "Renamed " + std::to_string(++serial_);
    note(std::to_string(kClients[slot]) + " is renamed " + c.name);
    publishListing();
    announce(SND_SEQ_EVENT_CLIENT_CHANGE, kClients[slot], 0);
}

void Lifecycle::push(int slot, int index, int ourPort, const Bytes& bytes, bool sysEx) {
    snd_seq_event_t e{};
    if (sysEx) {
        e.type = SND_SEQ_EVENT_SYSEX;
        e.flags = SND_SEQ_EVENT_LENGTH_VARIABLE;
    } else {
        snd_midi_event_reset_encode(encoder_);
        snd_midi_event_encode(encoder_, bytes.data(), static_cast<long>(bytes.size()), &e);
        unsigned char decoded[16];
        const long n = snd_midi_event_decode(decoder_, decoded, sizeof decoded, &e);
        if (e.type == SND_SEQ_EVENT_NONE || n < 0 || Bytes(decoded, decoded + n) != bytes)
            fail("the script made an event that is not " + hex(bytes));
    }
    e.source = {static_cast<unsigned char>(kClients[slot]), static_cast<unsigned char>(index)};
    e.dest = {kOwnClient, static_cast<unsigned char>(ourPort)};
    fake_->push(e, sysEx ? bytes : Bytes{});
}

void Lifecycle::senderSends(int slot, int index) {
    const std::uint8_t how = script_.next();
    const std::uint8_t length = script_.next();
    Client& c = clients_[slot];
    Port& port = c.ports[index];
    if (!c.alive || !port.alive) return;
    const int client = kClients[slot];
    // To our input port, which the kernel gives only what a subscription carries; or straight to
    // our virtual destination, as any client may.
    const bool toInput = how & 1;
    if (toInput && !subscribedToInput(client, index)) return;
    auto& outbox = outbox_[{client, index, toInput}];
    Bytes bytes;
    bool sysEx = true;
    switch ((how >> 1) % 8) {
    case 0:
        bytes = shortMessage(length);
        sysEx = false;
        break;
    case 1:
        bytes = {std::array<std::uint8_t, 6>{0xF8, 0xFA, 0xFB, 0xFC, 0xFE, 0xFF}[length % 6]};
        sysEx = false;
        break;
    case 2: // the rest of a SysEx whose start this sender never sent
        for (int i = 0; i < 1 + length % 16; ++i)
            bytes.push_back(script_.next() & 0x7F);
        if (length & 0x80) bytes.push_back(0xF7);
        break;
    case 3:
    case 4: // a program's: messages of every kind in one event, cut anywhere inside a SysEx
        if (outbox.empty()) outbox = programEvent(1 + length % 6);
        bytes = takeEvent(outbox, 1 + script_.next() % 48, false);
        break;
    default: // as a device's driver frames a SysEx: events end at F7
        if (outbox.empty()) outbox.push_back({sysExMessage(length, how & 0x40), true});
        bytes = takeEvent(outbox, 1 + script_.next() % 64, true);
        break;
    }
    if (bytes.empty()) return;
    note(std::to_string(client) + ":" + std::to_string(index) +
         (sysEx ? " sends a SysEx event " : " sends ") + hex(bytes) +
         (toInput ? " to our input port" : " to our destination"));
    push(slot, index, toInput ? inputPort_ : virtualIn_->sequencerPort, bytes, sysEx);
    twin_.senderSends(port.serial, bytes);
    if (!toInput)
        feed(*virtualIn_, port.serial, bytes, sysEx);
    else
        for (Receiver* receiver : {packetIn_, eventIn_})
            if (receiver->sources.contains(port.serial)) feed(*receiver, port.serial, bytes, sysEx);
}

std::vector<std::pair<MIDIEndpointRef, int>> Lifecycle::listed(bool sources) {
    std::vector<std::pair<MIDIEndpointRef, int>> out;
    const ItemCount count = sources ? server_->numberOfSources() : server_->numberOfDestinations();
    for (ItemCount i = 0; i < count; ++i) {
        const MIDIEndpointRef ref = sources ? server_->source(i) : server_->destination(i);
        if (const int sender = senderOf(ref)) out.push_back({ref, sender});
    }
    return out;
}

// The port an endpoint of another client stands for, by the serial its port name carries.
int Lifecycle::senderOf(MIDIEndpointRef ref) {
    std::string name;
    if (server_->getStringProperty(ref, kMIDIPropertyDisplayName, &name) != noErr) return 0;
    const auto at = name.rfind(": p");
    if (at == std::string::npos || at + 3 >= name.size()) return 0;
    int serial = 0;
    for (std::size_t i = at + 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9' || serial > 1'000'000) return 0;
        serial = serial * 10 + (name[i] - '0');
    }
    return senders_.contains(serial) ? serial : 0;
}

void Lifecycle::connect(Receiver& receiver) {
    const std::uint8_t which = script_.next();
    const auto sources = listed(true);
    if (sources.empty()) return;
    const auto [ref, sender] = sources[which % sources.size()];
    if (receiver.sources.contains(sender)) return;
    if (server_->connectSource(receiver.ref, ref, nullptr) != noErr) return;
    note(std::string(receiver.name()) + " connects to p" + std::to_string(sender));
    receiver.sources.insert(sender);
    pairs_.erase({receiver.serial, sender});
}

void Lifecycle::disconnect(Receiver& receiver) {
    const std::uint8_t which = script_.next();
    if (receiver.sources.empty()) return;
    const int sender = *std::next(receiver.sources.begin(), which % receiver.sources.size());
    for (const auto& [ref, serial] : listed(true)) {
        if (serial != sender) continue;
        if (const OSStatus status = server_->disconnectSource(receiver.ref, ref))
            fail(std::string(receiver.name()) + " could not disconnect: " + std::to_string(status));
        receiver.sources.erase(sender);
        interrupt(receiver, sender);
        note(std::string(receiver.name()) + " disconnects from p" + std::to_string(sender));
        return;
    }
    fail(std::string(receiver.name()) + " is connected to a source that is not listed");
}

void Lifecycle::kernelUnsubscribes(int slot, int index) {
    const bool virtualDestination = script_.next() & 1;
    const Port* port = clients_[slot].alive ? &clients_[slot].ports[index] : nullptr;
    if (!port || !port->alive) return;
    const int client = kClients[slot];
    if (virtualDestination) {
        // A connection tool subscribes the port to our destination, or ends that subscription.
        if (!subscribedToVirtual_.erase({port->serial, virtualIn_->serial})) {
            subscribedToVirtual_.insert({port->serial, virtualIn_->serial});
            note("p" + std::to_string(port->serial) + " is subscribed to our destination");
            return;
        }
        note("the kernel ends p" + std::to_string(port->serial) + "'s subscription to our destination");
        announceUnsubscribed(client, index, virtualIn_->sequencerPort);
        interrupt(*virtualIn_, port->serial);
        return;
    }
    if (!subscribedToInput(client, index)) return;
    fake_->disconnectFrom(inputPort_, client, index);
    announceUnsubscribed(client, index, inputPort_);
    note("the kernel ends our input's subscription to p" + std::to_string(port->serial));
    for (Receiver* receiver : {packetIn_, eventIn_})
        if (receiver->sources.contains(port->serial)) interrupt(*receiver, port->serial);
}

// The input overruns; with news, a client restarts meanwhile, and the announcements are lost with
// the rest, so are the ends of subscriptions: one line tells of every SysEx dropped.
void Lifecycle::overrun(int slot, bool withNews, bool ourSubscriptions) {
    if (ourSubscriptions) {
        // Lost with the rest: the news that our output ports' subscriptions to the client's ports ended.
        for (int port = 0; port < 2; ++port)
            if (portAt(kClients[slot], port))
                for (const Ours& ours : ours_)
                    fake_->unsubscribe(ours.sequencerPort, kClients[slot], port);
        note("our subscriptions to " + std::to_string(kClients[slot]) + " end unheard");
    } else if (withNews) {
        fake_->overrunComing();
        const auto told = droppedAloud_;
        clientStarts(slot);
        droppedAloud_ = told;
    }
    fake_->pushOverrun();
    note("the input overruns");
    pairs_.clear(); // every unfinished SysEx goes, with one line for all
}

void Lifecycle::renewReceiver(Receiver::Kind kind) {
    Receiver*& current = kind == Receiver::Kind::packets  ? packetIn_
                         : kind == Receiver::Kind::events ? eventIn_
                                                          : virtualIn_;
    if (current) {
        const OSStatus status = kind == Receiver::Kind::virtualDestination
                                    ? server_->disposeEndpoint(current->ref)
                                    : server_->disposePort(current->ref);
        if (status != noErr)
            fail(std::string(current->name()) + " could not be disposed: " + std::to_string(status));
        finish(*current);
        std::erase_if(pairs_, [&](const auto& entry) { return entry.first.first == current->serial; });
        std::erase_if(subscribedToVirtual_,
                      [&](const auto& entry) { return entry.second == current->serial; });
    }
    auto made = std::make_unique<Receiver>();
    Receiver* r = made.get();
    r->kind = kind;
    r->serial = ++serial_;
    note(std::string(r->name()) + " is made anew");
    OSStatus status = noErr;
    const MIDIReadBlock packets = [this, r](const MIDIPacketList* list, ByteCount size, void*) {
        platform::midi::PacketListReader reader(list, size);
        platform::midi::PacketListReader::Packet packet;
        while (reader.next(packet))
            r->reading.bytes(packet.data);
    };
    switch (kind) {
    case Receiver::Kind::packets:
        status = server_->createInputPortWithBlock(client_, "In", packets, &r->ref);
        break;
    case Receiver::Kind::events:
        status = server_->createInputPortWithProtocol(
            client_, "UMP In", kMIDIProtocol_1_0,
            [this, r](const MIDIEventList* list, ByteCount size, void*) {
                platform::midi::EventListReader reader(list, size);
                platform::midi::EventListReader::Packet packet;
                while (reader.next(packet))
                    r->reading.words(packet.words);
            },
            &r->ref);
        break;
    case Receiver::Kind::virtualDestination:
        status = server_->createDestination(client_, "Virtual In", packets, &r->ref);
        r->sequencerPort = fake_->lastCreatedPort;
        break;
    }
    if (status != noErr) fail(std::string(r->name()) + " could not be made: " + std::to_string(status));
    receivers_.push_back(std::move(made));
    current = r;
}

void Lifecycle::subscribeToOurSource(int slot, int index, bool subscribe) {
    const Port* port = clients_[slot].alive ? &clients_[slot].ports[index] : nullptr;
    if (!port || !port->alive || !(port->capability & SND_SEQ_PORT_CAP_WRITE)) return;
    const int ourPort = ours_[2].sequencerPort, client = kClients[slot];
    const auto subscribers = fake_->subscribersOf(ourPort);
    const bool subscribed = std::any_of(subscribers.begin(), subscribers.end(),
                                        [&](const auto& s) { return s.client == client && s.port == index; });
    if (subscribe && !subscribed) fake_->subscribe(ourPort, client, index);
    if (!subscribe && subscribed) fake_->unsubscribe(ourPort, client, index);
    if (subscribe != subscribed)
        note("p" + std::to_string(port->serial) + (subscribe ? " subscribes to" : " unsubscribes from") +
             " our source");
}

void Lifecycle::renewOurs(int which) {
    Ours& ours = ours_[which];
    const auto gone = [&](const auto& entry) { return entry.first.first == ours.sequencerPort; };
    if (which == 1) {
        // The MIDI object's output port: closing every output disposes of it, opening one makes
        // another (this one opens nothing).
        if (!midi_) midi_ = sonabel::MIDI::make({server_, false});
        for (const auto& [uid, ref] : midi_->endpoints())
            midi_->closeOutput(uid);
        midi_->openOutput(MIDIUniqueID{-1});
        if (midi_->outputPort() == ours.ref) return;
        std::erase_if(sent_, gone);
        std::erase_if(receivedByOthers_, gone);
        ours.ref = midi_->outputPort();
        ours.sequencerPort = fake_->lastCreatedPort;
        note("our port " + std::to_string(ours.sequencerPort) + " is made by the MIDI object");
        return;
    }
    if (ours.ref) {
        const OSStatus status =
            ours.isSource ? server_->disposeEndpoint(ours.ref) : server_->disposePort(ours.ref);
        if (status != noErr) fail("our port could not be disposed: " + std::to_string(status));
        std::erase_if(sent_, gone);
        std::erase_if(receivedByOthers_, gone);
    }
    ours.isSource = which == 2;
    const OSStatus status = ours.isSource ? server_->createSource(client_, "Out", &ours.ref)
                                          : server_->createOutputPort(client_, "Out", &ours.ref);
    if (status != noErr) fail("our port could not be made: " + std::to_string(status));
    ours.sequencerPort = fake_->lastCreatedPort;
    note("our port " + std::to_string(ours.sequencerPort) + " is made");
}

// layout: 0 sends one packet stamped now; else up to three packets, the first stamped now or
// earlier, each later one 0.7 s after the one before.
bool Lifecycle::prepare(int which, OurSend& send, int layout) {
    Ours& ours = ours_[which];
    send.ours = &ours;
    const std::uint8_t where = script_.next(), length = script_.next();
    if (!ours.isSource) {
        const auto destinations = listed(false);
        if (destinations.empty()) return false;
        const auto [ref, serial] = destinations[where % destinations.size()];
        send.destination = ref;
        if (which == 1) {
            std::int32_t uid = 0;
            server_->getIntegerProperty(ref, kMIDIPropertyUniqueID, &uid);
            send.uid = uid;
            midi_->openOutput(send.uid);
        }
        const Sender& sender = senders_[serial];
        const Port* port = portAt(sender.client, sender.port);
        if (!port || port->serial != serial) {
            fail("a destination is listed after its port left");
            return false;
        }
        send.targets.push_back({{ours.sequencerPort, serial},
                                {sender.client, sender.port},
                                isKernel(sender.client),
                                port->refuses,
                                frozen_.contains(serial)});
    } else {
        for (const auto& subscriber : fake_->subscribersOf(ours.sequencerPort)) {
            const Port* port = portAt(subscriber.client, subscriber.port);
            if (!port) {
                fail("our source's subscriber left, and is still subscribed");
                return false;
            }
            send.targets.push_back({{ours.sequencerPort, port->serial},
                                    {subscriber.client, subscriber.port},
                                    subscriber.kernel,
                                    false,
                                    frozen_.contains(port->serial)});
        }
    }
    // The next bytes of this port's messages, cut anywhere.
    const std::size_t count = length < 0xF0 ? 1 + length % 48 : 200 * (length - 0xEF);
    while (ours.outbox.size() < count)
        ourContent(ours.outbox);
    send.bytes.assign(ours.outbox.begin(), ours.outbox.begin() + static_cast<std::ptrdiff_t>(count));
    ours.outbox.erase(ours.outbox.begin(), ours.outbox.begin() + static_cast<std::ptrdiff_t>(count));

    MIDITimeStamp at = clock_.now();
    if (layout > 0 && !send.uid) {
        for (int i = 1; i <= layout % 3; ++i)
            if (const std::size_t cut =
                    count * static_cast<std::size_t>(i) / static_cast<std::size_t>(1 + layout % 3);
                cut > (send.cuts.empty() ? 0 : send.cuts.back()))
                send.cuts.push_back(cut);
        if (layout >= 3)
            send.stamp = at = at - std::min<MIDITimeStamp>(at - 1, (layout / 3 - 1) * 400'000'000ull);
    }
    for (const Target& target : send.targets) {
        send.next.push_back(sent_[target.key]);
        send.refusedByte.push_back(!applySend(send.next.back(), target.kernel, send.bytes, at));
        lastResult_.erase(target.key);
    }
    std::string to;
    for (const Target& target : send.targets)
        to += " p" + std::to_string(target.key.second);
    note("our port " + std::to_string(ours.sequencerPort) + " sends " + hex(send.bytes) + " to" + to +
         (send.cuts.empty() ? "" : " in " + std::to_string(send.cuts.size() + 1) + " packets") +
         (send.stamp ? ", stamped " + std::to_string((clock_.now() - send.stamp) / 1'000'000) + " ms ago"
                     : ""));
    return true;
}

OSStatus Lifecycle::perform(OurSend& send) {
    const std::uint64_t began = clock_.now();
    OSStatus status = noErr;
    if (send.uid) {
        const auto outcome =
            midi_->sendMessageWithOutcome(send.bytes, send.stamp, sonabel::MIDI::UIDs{{send.uid}});
        status = outcome.sent() ? noErr : kMIDIMessageSendErr;
        send.kind = outcome.kind == sonabel::MIDISendOutcome::Kind::gone      ? SendFailure::Kind::gone
                    : outcome.kind == sonabel::MIDISendOutcome::Kind::stalled ? SendFailure::Kind::stalled
                                                                              : SendFailure::Kind::refused;
    } else {
        platform::midi::PacketListBuilder list;
        std::size_t from = 0;
        MIDITimeStamp stamp = send.stamp;
        for (const std::size_t cut : send.cuts) {
            list.add(stamp, std::span(send.bytes).subspan(from, cut - from));
            from = cut;
            stamp = (stamp ? stamp : began) + 700'000'000;
        }
        list.add(stamp, std::span(send.bytes).subspan(from));
        SendFailure failure;
        status = send.ours->isSource
                     ? server_->receivedReporting(send.ours->ref, list.list(), list.size(), &failure)
                     : server_->sendReporting(send.ours->ref, send.destination, list.list(), list.size(),
                                              &failure);
        send.kind = failure.kind;
    }
    send.took = clock_.now() - began;
    return status;
}

void Lifecycle::ourSend(int which, int layout) {
    OurSend send;
    if (!prepare(which, send, layout)) return;
    send.status = perform(send);
    evaluate({&send}, true);
    if (which != 1) twin_.send(which == 2, send.bytes, send.cuts, send.stamp);
}

// A send that waits (for room in a program's pool, or at a cable's pace) is held there while a
// port leaves and another of our ports sends, on a thread of its own.
void Lifecycle::heldSend(int which) {
    OurSend first, second;
    if (!prepare(which, first)) return;
    const std::uint8_t meanwhile = script_.next();
    std::atomic<bool> firstDone{false}, secondDone{false};
    sleeper_.hold();
    std::thread holder([&] {
        sleeper_.holdThisThread();
        first.status = perform(first);
        firstDone = true;
        sleeper_.wake();
    });
    const bool held = sleeper_.waitUntilHolding(firstDone, kDeadline);
    std::thread meanwhileThread;
    const int other = (which + 1) % 3;
    if (held) {
        note("the send waits");
        const int slot = (meanwhile >> 2) % static_cast<int>(kClients.size()), index = (meanwhile >> 4) & 1;
        if (meanwhile & 1) portExits(slot, index);
        // Another port at the old address, or our next port made anew.
        if (meanwhile & 0x20) portStarts(slot, index);
        if (meanwhile & 0x40) renewOurs(other);
        settle();
        if ((meanwhile & 2) && prepare(other, second)) {
            meanwhileThread = std::thread([&] {
                second.status = perform(second);
                secondDone = true;
            });
            // It waits its turn, or (wrongly) goes ahead: either shows soon.
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(3);
            while (!secondDone && std::chrono::steady_clock::now() < until)
                std::this_thread::yield();
        }
    }
    // The server stops: what is under way fails at its next event, and the script ends.
    if (held && (meanwhile & 0x80)) {
        server_->stop();
        stopped_ = true;
        note("the server stops");
    }
    sleeper_.release();
    holder.join();
    if (meanwhileThread.joinable()) meanwhileThread.join();
    if (!held && !firstDone) return fail("a send neither waited nor ended in 30 s");
    std::vector<OurSend*> sends{&first};
    if (second.ours) sends.push_back(&second);
    evaluate(sends);
}

void Lifecycle::evaluate(const std::vector<OurSend*>& sends, bool timed) {
    // What each receiver read, in the order it was written; a send's events come together.
    std::map<std::pair<int, int>, std::pair<int, std::set<int>>> writers; // by address: last port, ports done
    for (const Write& write : writes_) {
        const Target* target = nullptr;
        for (const OurSend* send : sends)
            for (const Target& t : send->targets)
                if (t.key.first == write.sourcePort && t.address == write.address) target = &t;
        if (!target) {
            fail("our port " + std::to_string(write.sourcePort) + " wrote to " +
                 std::to_string(write.address.first) + ":" + std::to_string(write.address.second) +
                 ", which it did not send to");
            break;
        }
        auto& [last, done] = writers[write.address];
        if (done.contains(write.sourcePort))
            fail("the events of two sends to " + std::to_string(write.address.first) + ":" +
                 std::to_string(write.address.second) + " were interleaved");
        if (last && last != write.sourcePort + 1) done.insert(last - 1);
        last = write.sourcePort + 1;
        lastResult_[target->key] = write.result;
        const Bytes& stored = write.stored;
        if (stored.empty()) continue;
        Wire& r = receivedByOthers_[target->key];
        if (!write.sysEx) {
            r.messages.push_back(stored);
            if (!isRealTime(stored[0])) r.open = false;
            continue;
        }
        for (std::size_t i = 0; i < stored.size(); ++i) {
            const std::uint8_t byte = stored[i];
            if (target->kernel && i > 0 && (i + 1 < stored.size() || byte != 0xF7) && byte >= 0x80 &&
                byte < 0xF8)
                r.broken = "a SysEx event toward a device holds " + hex(stored);
            if (i == 0 && byte == 0xF0) {
                r.messages.emplace_back();
                r.open = true;
            } else if (!r.open) {
                if (r.broken.empty()) r.broken = "a SysEx event continues none: " + hex(stored);
                break;
            }
            if (byte == 0xF7 && i + 1 != stored.size() && r.broken.empty())
                r.broken = "bytes follow an F7 in one event: " + hex(stored);
            r.messages.back().push_back(byte);
            r.open = byte != 0xF7;
        }
    }
    writes_.clear();
    static constexpr const char* kKinds[] = {"refused", "gone", "stalled"};
    for (const OurSend* send : sends) {
        const Bytes& bytes = send->bytes;
        const std::string what =
            "a send of " + hex(bytes) + " from our port " + std::to_string(send->ours->sequencerPort);
        std::optional<std::set<SendFailure::Kind>> told; // what the first failure may be told as
        std::uint64_t allowed = 0;
        for (std::size_t i = 0; i < send->targets.size() && finding_.empty(); ++i) {
            const Target& target = send->targets[i];
            const auto result = lastResult_.find(target.key);
            // A stopped server writes nothing more.
            const bool failed = send->refusedByte[i] || target.refuses ||
                                (result != lastResult_.end() && result->second < 0) ||
                                (stopped_ && send->status != noErr);
            const std::string where =
                std::to_string(target.address.first) + ":" + std::to_string(target.address.second);
            // How a send may fail toward this receiver: refused, for a byte the wire cannot carry or a
            // refused subscription; gone, once it left; stalled, while it takes nothing. Any other
            // receiver takes it.
            std::set<SendFailure::Kind> may;
            const Port* port = portAt(target.address.first, target.address.second);
            if (send->refusedByte[i] || target.refuses) may.insert(SendFailure::Kind::refused);
            if (!port || port->serial != target.key.second) may.insert(SendFailure::Kind::gone);
            if (target.frozen) may.insert(SendFailure::Kind::stalled);
            if (stopped_)
                may.insert({SendFailure::Kind::refused, SendFailure::Kind::gone, SendFailure::Kind::stalled});
            if (!kOutsideEndMadeAgain && endedFromOutside_.erase({target.key.first, target.address}) &&
                target.kernel)
                may.insert(SendFailure::Kind::gone);
            if (failed && may.empty())
                return fail(what + " failed toward " + where + ", which was there and took it (result " +
                            std::to_string(result != lastResult_.end() ? result->second : 0) + ")");
            if (failed && !told) told = may;
            if (failed && target.frozen) stalled_.insert(target.key.second);
            // Its deadline, once; a receiver that stalled before is given up on at once.
            allowed += target.kernel    ? (bytes.size() + 64) * 1'000'000'000ull / kernelBytesPerSecond_
                       : !target.frozen ? bytes.size() * retryWait_
                       : kStalledFailsAtOnce && stalled_.contains(target.key.second)
                           ? 2 * retryWait_
                           : retryTimeout_ + 2 * retryWait_;
            if (failed && send->status == noErr)
                return fail(what + " was reported done, but " + where + " did not take it");
            if (failed) {
                // A refused byte leaves the stream as it was; any other failure starts it over.
                if (!send->refusedByte[i]) {
                    sent_.erase(target.key);
                    receivedByOthers_.erase(target.key);
                }
                continue;
            }
            sent_[target.key] = send->next[i];
            const Wire& got = receivedByOthers_[target.key];
            if (!got.broken.empty())
                return fail(where + " read from our port " + std::to_string(target.key.first) + ": " +
                            got.broken);
            if (!agree(got, send->next[i])) {
                std::string read, meant;
                for (const Bytes& m : got.messages)
                    read += " [" + hex(m) + "]";
                for (const Bytes& m : send->next[i].messages)
                    meant += " [" + hex(m) + "]";
                return fail(std::string(send->status == noErr ? "after " : "after a failed ") + what + ", " +
                            where + " read" + read + " where the wire carries" + meant);
            }
        }
        if (!finding_.empty()) return;
        if (send->status != noErr && !told)
            return fail(what + " failed (" + std::to_string(send->status) +
                        ") though every receiver took it");
        if (told && !told->contains(send->kind))
            return fail(what + " failed as " + kKinds[static_cast<int>(send->kind)] + ", which it was not");
        if (timed && send->took > allowed + 2 * retryWait_)
            return fail(what + " took " + std::to_string(send->took / 1'000'000) +
                        " ms, more than its receivers' " + std::to_string(allowed / 1'000'000) + " ms");
    }
}

// Content ---------------------------------------------------------------------------------------

Bytes Lifecycle::sysExMessage(std::size_t body, bool eightBit) {
    const int tag = sysExTag_++;
    Bytes m{0xF0, 0x7D, static_cast<std::uint8_t>((tag >> 7) & 0x7F), static_cast<std::uint8_t>(tag & 0x7F)};
    const std::size_t length = body < 0xE0 ? body % 48 : (body - 0xDF) * 40;
    for (std::size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<std::uint8_t>((tag * 37 + i * 11) ^ (i >> 3));
        m.push_back(eightBit && byte < 0xF0 ? byte : byte & 0x7F);
    }
    m.push_back(0xF7);
    return m;
}

// A message tagged so that it can be told from others: 3-byte channel messages are unique in a
// script, the shorter ones may repeat.
Bytes Lifecycle::shortMessage(std::uint8_t kind) {
    static constexpr std::array<std::uint8_t, 11> kStatus{0x80, 0x90, 0xA0, 0xB0, 0xE0, 0xC0,
                                                          0xD0, 0xF1, 0xF2, 0xF3, 0xF6};
    const std::uint8_t status = kStatus[kind % kStatus.size()];
    const int tag = shortTag_++;
    const auto bits = [&](int shift) { return static_cast<std::uint8_t>((tag >> shift) & 0x7F); };
    if (status < 0xF0) {
        const auto channel = static_cast<std::uint8_t>(status | (tag & 15));
        if (lengthOf(status) == 3) return {channel, bits(4), bits(11)};
        return {channel, bits(4)};
    }
    if (status == 0xF2) return {status, bits(0), bits(7)};
    if (status == 0xF6) return {status};
    return {status, bits(0)};
}

std::deque<Segment> Lifecycle::programEvent(std::size_t pieces) {
    // The undefined ones last, so that the scripts found before them still read as they did.
    static constexpr std::array<std::uint8_t, 8> kRealTime{0xF8, 0xFA, 0xFB, 0xFC, 0xFE, 0xFF, 0xF9, 0xFD};
    std::deque<Segment> out;
    for (std::size_t i = 0; i < pieces; ++i) {
        const std::uint8_t kind = script_.next();
        switch (kind % 6) {
        case 0: {
            Bytes m = sysExMessage(kind >> 3, kind & 4);
            if (i + 1 == pieces && (kind & 2)) m.pop_back(); // left open for the next event
            out.push_back({std::move(m), true});
            break;
        }
        case 1: { // a real-time byte may stand anywhere inside a message
            Bytes m = shortMessage(kind >> 3);
            if (m.size() > 1)
                m.insert(m.begin() + 1 + (kind >> 6) % static_cast<int>(m.size() - 1),
                         kRealTime[(kind >> 3) % 8]);
            out.push_back({std::move(m), false});
            break;
        }
        case 2:
            out.push_back({{kRealTime[(kind >> 3) % 8]}, false});
            break;
        case 3: { // cut short by the next message's status
            Bytes m = shortMessage(kind >> 3);
            m.pop_back();
            const Bytes after = shortMessage(kind >> 4);
            m.insert(m.end(), after.begin(), after.end());
            out.push_back({std::move(m), false});
            break;
        }
        case 4: { // data bytes that begin no message
            Bytes m = shortMessage(kind >> 3);
            m.insert(m.end(), 1 + (kind >> 6), static_cast<std::uint8_t>(kind & 0x7F));
            out.push_back({std::move(m), false});
            break;
        }
        default:
            out.push_back({shortMessage(kind >> 3), false});
            break;
        }
    }
    return out;
}

Bytes Lifecycle::takeEvent(std::deque<Segment>& outbox, std::size_t length, bool kernelFraming) {
    Bytes event;
    while (!outbox.empty() && event.size() < length) {
        Segment& segment = outbox.front();
        if (!segment.cuttable) {
            if (!event.empty() && event.size() + segment.bytes.size() > length) break;
            event.insert(event.end(), segment.bytes.begin(), segment.bytes.end());
            outbox.pop_front();
            continue;
        }
        auto n = static_cast<std::ptrdiff_t>(std::min(length - event.size(), segment.bytes.size()));
        if (kernelFraming) {
            const auto f7 = std::find(segment.bytes.begin(), segment.bytes.begin() + n, 0xF7);
            if (f7 != segment.bytes.begin() + n) n = f7 - segment.bytes.begin() + 1;
        }
        event.insert(event.end(), segment.bytes.begin(), segment.bytes.begin() + n);
        segment.bytes.erase(segment.bytes.begin(), segment.bytes.begin() + n);
        if (segment.bytes.empty()) outbox.pop_front();
        if (kernelFraming && event.back() == 0xF7) break;
    }
    return event;
}

void Lifecycle::ourContent(std::deque<std::uint8_t>& outbox) {
    const std::uint8_t kind = script_.next();
    const std::size_t length = kind >> 2;
    const auto add = [&](std::uint8_t byte) { outbox.push_back(byte); };
    switch (kind % 4) {
    case 0: // 7-bit SysEx, up to a few hundred bytes
    case 1: // 8-bit SysEx: a program takes it, a device refuses it; some with one such byte only
        add(0xF0);
        for (std::size_t i = 0; i < length * (kind & 0x80 ? 8 : 1); ++i) {
            const auto byte = static_cast<std::uint8_t>(sysExTag_ * 13 + i * 29);
            if (kind % 4 == 1 && (kind & 0x40) && i == length / 2)
                add(std::array<std::uint8_t, 4>{0x80, 0xA5, 0xC3, 0xF5}[sysExTag_ % 4]);
            else
                add(kind % 4 == 1 && !(kind & 0x40) && byte != 0xF7 ? byte : byte & 0x7F);
        }
        add(0xF7);
        ++sysExTag_;
        break;
    case 2:
        for (const std::uint8_t byte : shortMessage(kind >> 2))
            add(byte);
        break;
    default: // the script's own bytes, whatever they are
        for (std::size_t i = 0; i < 1 + length % 8; ++i)
            add(script_.next());
        break;
    }
}

// Model -----------------------------------------------------------------------------------------

void Lifecycle::expect(Receiver& receiver, int sender, const Bytes& bytes, bool sysEx) {
    receiver.unmatched[bytes].push_back(receiver.expected.size());
    receiver.expected.push_back(
        {bytes, sender, sysEx, sysEx || (bytes.size() == 3 && bytes[0] < 0xF0), false});
}

// Takes bytes from `at` up to the first F7 into the pair's SysEx, or past them when none is open
// (the rest of one whose start was lost).
void Lifecycle::collect(Receiver& receiver, int sender, Pair& pair, const Bytes& bytes, std::size_t& at) {
    const auto from = bytes.begin() + static_cast<std::ptrdiff_t>(at);
    const auto f7 = std::find(from, bytes.end(), 0xF7);
    const auto end = f7 == bytes.end() ? f7 : f7 + 1;
    at = static_cast<std::size_t>(end - bytes.begin());
    if (!pair.open) return;
    pair.bytes.insert(pair.bytes.end(), from, end);
    if (f7 == bytes.end()) return;
    expect(receiver, sender, pair.bytes, true);
    pair = {};
}

// One event of a sender, read as the kernel frames it.
void Lifecycle::feed(Receiver& receiver, int sender, const Bytes& bytes, bool sysEx) {
    Pair& pair = pairs_[{receiver.serial, sender}];
    if (!sysEx) {
        if (isRealTime(bytes[0])) {
            ++receiver.realTime[bytes[0]];
            return;
        }
        if (pair.open) ++droppedAloud_[sender];
        pair = {};
        expect(receiver, sender, bytes, false);
        return;
    }
    if (bytes[0] == 0xF0) {
        if (pair.open) ++droppedAloud_[sender];
        pair = {true, {}};
    }
    std::size_t at = 0;
    collect(receiver, sender, pair, bytes, at);
    // After its F7, a program's event may hold any messages, real-time bytes anywhere among them.
    while (at < bytes.size()) {
        const std::uint8_t status = bytes[at];
        if (status == 0xF0) {
            pair = {true, {}};
            collect(receiver, sender, pair, bytes, at);
            continue;
        }
        if (isRealTime(status)) {
            if (!isUndefined(status)) ++receiver.realTime[status];
            ++at;
            continue;
        }
        const std::size_t length = lengthOf(status);
        Bytes message{status};
        Bytes realTime;
        std::size_t end = at + 1;
        for (; end < bytes.size() && message.size() < length; ++end) {
            if (isUndefined(bytes[end])) continue;
            if (isRealTime(bytes[end]))
                realTime.push_back(bytes[end]);
            else if (bytes[end] >= 0x80)
                break;
            else
                message.push_back(bytes[end]);
        }
        if (length == 0 || message.size() < length) {
            ++at; // begins no message: dropped, and a line says so
            continue;
        }
        expect(receiver, sender, message, false);
        for (const std::uint8_t byte : realTime)
            ++receiver.realTime[byte];
        at = end;
    }
}

void Lifecycle::interrupt(const Receiver& receiver, int sender, bool leaving) {
    const auto it = pairs_.find({receiver.serial, sender});
    if (it == pairs_.end()) return;
    // A listed sender's goes untold, or told; one known by its address is told.
    const Port* port = portAt(senders_[sender].client, senders_[sender].port);
    const bool quiet = leaving && port && port->serial == sender && listedAsSource(port->capability);
    if (it->second.open) ++(quiet ? mayBeTold_ : droppedAloud_)[sender];
    pairs_.erase(it);
}

void Lifecycle::check(Receiver& receiver) {
    if (!receiver.reading.broken.empty()) return fail(std::string(receiver.name()) + receiver.reading.broken);
    for (; receiver.checked < receiver.reading.got.size(); ++receiver.checked) {
        const Bytes& m = receiver.reading.got[receiver.checked];
        if (m.size() == 1 && isRealTime(m[0])) {
            if (--receiver.realTime[m[0]] < 0)
                return fail(std::string(receiver.name()) + " got " + hex(m) + " more often than it was sent");
            continue;
        }
        auto it = receiver.unmatched.find(m);
        if (it == receiver.unmatched.end() || it->second.empty())
            return fail(std::string(receiver.name()) + " got " + hex(m) + ", which no sender sent it whole");
        const std::size_t at = it->second.front();
        it->second.pop_front();
        Expected& e = receiver.expected[at];
        e.matched = true;
        if (!e.ordered) continue;
        const auto [last, first] = receiver.lastOrdered.try_emplace(e.sender, at);
        if (!first && at < last->second)
            return fail(std::string(receiver.name()) + " got " + hex(m) +
                        " after a message its sender sent later");
        last->second = at;
    }
}

void Lifecycle::finish(Receiver& receiver) {
    if (receiver.done) return;
    receiver.done = true;
    for (const Expected& e : receiver.expected)
        if (!e.matched && !e.sysEx)
            return fail(std::string(receiver.name()) + " never got " + hex(e.bytes) + " from " +
                        std::to_string(senders_[e.sender].client) + ":" +
                        std::to_string(senders_[e.sender].port));
    for (const auto& [byte, count] : receiver.realTime)
        if (count > 0)
            return fail(std::string(receiver.name()) + " never got a real-time " + hex(Bytes{byte}));
}

// A whole SysEx may be missing only where log lines name its sender, beyond the lines for the
// SysEx the model saw cut short.
void Lifecycle::checkDrops() {
    std::map<int, std::pair<int, const Expected*>> missing;
    std::map<int, const Receiver*> where;
    for (const auto& receiver : receivers_)
        for (const Expected& e : receiver->expected)
            if (e.sysEx && !e.matched) {
                auto& [count, first] = missing[e.sender];
                if (count++ == 0) {
                    first = &e;
                    where[e.sender] = receiver.get();
                }
            }
    // Every SysEx the model saw cut short is told.
    for (const auto& [sender, count] : droppedAloud_)
        if (toldDropped_[sender] < count)
            return fail("an unfinished SysEx of " + std::to_string(senders_[sender].client) + ":" +
                        std::to_string(senders_[sender].port) + " was dropped, and no log line says so");
    for (const auto& [sender, entry] : missing) {
        if (toldDropped_[sender] - droppedAloud_[sender] - mayBeTold_[sender] < entry.first)
            return fail(std::string(where[sender]->name()) + " never got " + hex(entry.second->bytes) +
                        " from " + std::to_string(senders_[sender].client) + ":" +
                        std::to_string(senders_[sender].port) + ", and no log line says it was dropped");
    }
}

void Lifecycle::settle() {
    if (stopped_) return;
    const auto until = std::chrono::steady_clock::now() + kDeadline;
    while (!fake_->inputEmpty()) {
        if (std::chrono::steady_clock::now() > until) return fail("the polling thread read nothing for 30 s");
        std::this_thread::yield();
    }
    if (!server_->waitUntilIdle(kDeadline))
        return fail("the polling thread did not finish its input in 30 s");
    server_->runPending();
    if (const std::string finding = twin_.check(); !finding.empty()) return fail(finding);
    for (const std::string& name : log_->take()) {
        note("a line tells of a SysEx of " + name + " dropped");
        for (const int sender : names_[name])
            ++toldDropped_[sender];
    }
    for (auto& receiver : receivers_)
        if (!receiver->done) check(*receiver);
}

} // namespace

std::string runSequencerLifecycle(std::span<const std::uint8_t> script, std::string* trace) {
    return Lifecycle(script, trace).run();
}

} // namespace alsatest
