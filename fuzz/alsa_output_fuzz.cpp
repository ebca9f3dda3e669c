// Feeds the ALSA backend's output random sends, split anywhere, from three of our ports to two
// devices, two programs and a source's subscribers (a device and a program), with the clock moving,
// unplugs, our ports going, failed writes and lost subscriptions between them. A stand-in
// sequencer records each event per sender and receiver and reads it as the kernel frames it. It
// traps when:
// - a SysEx event toward a device holds a byte 80-F7 after its first byte or before its last;
// - the SysEx messages a receiver reads differ from those the sends held, read as the wire has
//   them (toward a device a send that begins with a status byte ends an unfinished SysEx, toward
//   a program only one that begins so more than a second after the last send): a continuation
//   that begins with F0, bytes lost or repeated, or state kept past an unplug, our port's end or a
//   failed send;
// - a send's status disagrees: a refusal exactly where a device would read a SysEx data byte as
//   status, a failure exactly where a write failed.
#include "fuzz/FuzzSupport.h"
#include "platform/core/HostClock.h"
#include "platform/core/LogSink.h"
#include "platform/core/Sleeper.h"
#include "platform/midi/alsa/AlsaOutput.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <utility>
#include <vector>

using platform::midi::AlsaOutput;
using platform::midi::AlsaSequencer;
using platform::midi::AlsaServerConfig;
using Bytes = std::vector<std::uint8_t>;
using fuzzsupport::check;

namespace {

using Address = std::pair<int, int>;
constexpr std::array<Address, 4> kDestinations{{{20, 0}, {21, 0}, {130, 0}, {131, 0}}};
constexpr int kSubscribedPort = 2; // subscribed to by 21:0 and 131:0

bool isKernel(Address destination) {
    return destination.first < 128;
}

// SysEx messages as a receiver reads them from one sender: whole ones, then the open one.
struct Messages {
    std::vector<Bytes> list;
    bool open = false;
    void start() {
        list.emplace_back();
        open = true;
    }
    void end() { open = false; }
    void add(std::uint8_t byte) {
        list.back().push_back(byte);
        if (byte == 0xF7) open = false;
    }
};

// Receivers are equal up to the bytes the output holds back of an open SysEx, its F0 among them.
bool agree(const Messages& received, const Messages& sent) {
    const bool heldWhole = sent.open && received.list.size() + 1 == sent.list.size();
    if (received.list.size() != sent.list.size() && !heldWhole) return false;
    static const Bytes none;
    for (std::size_t i = 0; i < sent.list.size(); ++i) {
        const Bytes& r = i < received.list.size() ? received.list[i] : none;
        const Bytes& s = sent.list[i];
        const bool last = i + 1 == sent.list.size() && sent.open;
        if (last ? r.size() > s.size() || !std::equal(r.begin(), r.end(), s.begin()) : r != s) return false;
    }
    return true;
}

class RecordingSequencer final : public AlsaSequencer {
public:
    std::map<std::pair<int, Address>, Messages> received; // by our port and destination
    std::set<Address> failNext;
    std::set<std::pair<int, Address>> failed; // where an armed failure struck
    // Our source's subscribers are written to from a thread each.
    std::mutex mutex;

    int clientID() override { return 128; }
    int setClientName(std::string_view) override { return 0; }
    int createPort(std::string_view, unsigned, unsigned) override { return 0; }
    int deletePort(int) override { return 0; }
    int connectFrom(int, int, int) override { return 0; }
    int disconnectFrom(int, int, int) override { return 0; }
    int connectTo(int, int, int) override { return 0; }
    std::vector<platform::midi::AlsaPortInfo> listPorts() override { return {}; }
    std::vector<Subscriber> subscribersOf(int ourPort) override {
        if (ourPort != kSubscribedPort) return {};
        return {{21, 0, true}, {131, 0, false}};
    }
    std::optional<RawMidi> rawMidiOf(int, int) override { return std::nullopt; }
    bool hasRoomFor(const snd_seq_event_t&) override { return true; }
    int outputDirect(snd_seq_event_t& event) override {
        std::lock_guard lock(mutex);
        const Address destination{event.dest.client, event.dest.port};
        check(destination.first != SND_SEQ_ADDRESS_SUBSCRIBERS);
        const std::pair stream{int(event.source.port), destination};
        if (failNext.erase(destination)) {
            failed.insert(stream);
            return -ENOENT;
        }
        Messages& messages = received[stream];
        if (event.type != SND_SEQ_EVENT_SYSEX) {
            // Real-time events may sit inside a SysEx; any other ends it.
            static constexpr std::array kRealTime{
                SND_SEQ_EVENT_CLOCK, SND_SEQ_EVENT_TICK,    SND_SEQ_EVENT_START, SND_SEQ_EVENT_CONTINUE,
                SND_SEQ_EVENT_STOP,  SND_SEQ_EVENT_SENSING, SND_SEQ_EVENT_RESET};
            if (std::find(kRealTime.begin(), kRealTime.end(), event.type) == kRealTime.end()) messages.end();
            return 0;
        }
        const std::span data(static_cast<const std::uint8_t*>(event.data.ext.ptr), event.data.ext.len);
        check(!data.empty());
        for (std::size_t i = 0; i < data.size(); ++i) {
            const std::uint8_t byte = data[i];
            if (isKernel(destination) && i > 0 && (i + 1 < data.size() || byte != 0xF7))
                check(byte < 0x80 || byte >= 0xF8);
            // An event that begins with F0 starts a SysEx; an F7 ends it; other events continue it.
            if (i == 0 && byte == 0xF0)
                messages.start();
            else
                check(messages.open);
            // Nothing follows an F7 inside an event.
            if (byte == 0xF7) check(i + 1 == data.size());
            messages.add(byte);
        }
        return 0;
    }
    void waitForInput(std::chrono::milliseconds) override {}
    void wake() override {}
    int input(snd_seq_event_t**) override { return -EAGAIN; }
};

// What each of our ports has sent toward each destination, read as the wire has it.
struct Expected {
    Messages messages;
    MIDITimeStamp last = 0;
};

// Applies one send toward one destination; false when a device refuses it, for a SysEx data byte
// it would read as a status byte.
bool expect(Expected& expected, Address destination, std::span<const std::uint8_t> bytes, MIDITimeStamp at) {
    Messages m = expected.messages;
    const bool silent = at > expected.last && at - expected.last > AlsaOutput::kSilenceEndsSysEx;
    if (m.open && bytes[0] >= 0x80 && bytes[0] < 0xF7 && (isKernel(destination) || silent)) m.end();
    for (const std::uint8_t byte : bytes) {
        if (m.open) {
            if (isKernel(destination) && byte >= 0x80 && byte < 0xF7) return false;
            m.add(byte);
        } else if (byte == 0xF0) {
            m.start();
            m.add(byte);
        }
    }
    expected.messages = std::move(m);
    expected.last = at;
    return true;
}

platform::LogSink& quietLog() {
    static const auto sink = [] {
        auto made = std::make_shared<fuzzsupport::DiscardingLogSink>();
        platform::LogSink::setCurrent(made);
        return made;
    }();
    return *sink;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    quietLog();
    if (size < 1) return 0;
    platform::ManualClock clock;
    platform::ManualSleeper sleeper{clock};
    RecordingSequencer sequencer;
    AlsaServerConfig config;
    config.clock = &clock;
    config.sleeper = &sleeper;
    config.sysExChunkBytes = data[0] % 9 + 1;
    AlsaOutput output(sequencer, config);
    std::map<std::pair<int, Address>, Expected> expected;
    const auto forgetWhere = [&](auto gone) {
        std::erase_if(expected, [&](const auto& entry) { return gone(entry.first); });
        std::erase_if(sequencer.received, [&](const auto& entry) { return gone(entry.first); });
    };

    for (std::size_t i = 1; i + 1 < size;) {
        const std::uint8_t op = data[i++];
        const std::uint8_t arg = data[i++];
        const int ourPort = arg % 3;
        const Address destination = kDestinations[(arg / 3) % 4];
        switch (op % 8) {
        case 4:
            clock.advance(std::uint64_t{arg} * 10'000'000);
            break;
        case 5: // unplugged; its number may come back
            output.forget(destination.first, destination.second);
            forgetWhere([&](const auto& key) { return key.second == destination; });
            break;
        case 6:
            output.forgetSender(ourPort);
            forgetWhere([&](const auto& key) { return key.first == ourPort; });
            break;
        case 7:
            if (arg & 0x80)
                output.forgetSubscriptions();
            else
                sequencer.failNext.insert(destination);
            break;
        default: {
            const std::size_t length = std::min<std::size_t>(size - i, op / 8 % 24 + 1);
            if (length == 0) break;
            const std::span bytes(data + i, length);
            i += length;
            const bool toSubscribers = (arg / 12) % 4 == 0;
            const int from = toSubscribers ? kSubscribedPort : ourPort;
            std::vector<Address> targets;
            if (toSubscribers)
                targets = {{21, 0}, {131, 0}};
            else
                targets = {destination};
            sequencer.failed.clear();
            const MIDITimeStamp at = clock.now();
            const auto status = output.send({.sourcePort = from,
                                             .client = destination.first,
                                             .port = destination.second,
                                             .toSubscribers = toSubscribers,
                                             .kernel = isKernel(destination)},
                                            bytes);
            bool anyRefused = false;
            for (const Address& target : targets) {
                const std::pair stream{from, target};
                if (sequencer.failed.contains(stream)) {
                    // The failed send starts over, on both sides.
                    expected.erase(stream);
                    sequencer.received.erase(stream);
                    continue;
                }
                if (!expect(expected[stream], target, bytes, at)) anyRefused = true;
            }
            check((status != 0) == (anyRefused || !sequencer.failed.empty()));
            break;
        }
        }
        for (auto& [stream, sent] : expected)
            check(agree(sequencer.received[stream], sent.messages));
    }
    return 0;
}
