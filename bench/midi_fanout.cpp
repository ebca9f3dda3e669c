// Sends from our source to 2, 4 and 8 subscribers, a note or a 408-byte SysEx each: through the
// fake sequencer (the send code alone), and, where the sequencer opens (the guest of
// scripts/run-in-guest), through the kernel to plain alsa-lib readers, each on a thread of its own;
// a run there ends when every reader has every event. "Turns" is the product's send path;
// "Baseline" is the fan-out the product had before it started a thread per subscriber (sent in
// turn, each waited for in full), copied below as it was, for both in one run.
#include "platform/midi/alsa/AlsaLibSequencer.h"
#include "platform/midi/alsa/AlsaOutput.h"
#include "platform/midi/alsa/AlsaTranslation.h"
#include "testing/FakeSequencer.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace {

using platform::midi::AlsaOutput;
using platform::midi::AlsaSequencer;
using platform::midi::AlsaServerConfig;
using platform::midi::AlsaTranslation;
using Bytes = std::vector<std::uint8_t>;

// The earlier send path toward user-space subscribers (every subscriber here is one; its
// kernel-only branches never ran for them and are left out).
class Baseline {
public:
    explicit Baseline(AlsaSequencer& sequencer) : sequencer_(sequencer) {}

    OSStatus send(int sourcePort, std::span<const std::uint8_t> bytes) {
        const MIDITimeStamp at = platform::HostClock::system().now();
        const auto subscribers = laneOf(-1, sourcePort, sourcePort).lane;
        std::lock_guard sending(subscribers->sending);
        OSStatus status = noErr;
        for (const auto& subscriber : sequencer_.subscribersOf(sourcePort))
            if (const OSStatus result = sendTo(sourcePort, subscriber.client, subscriber.port, bytes, at);
                status == noErr)
                status = result;
        return status;
    }

private:
    struct Stream {
        AlsaTranslation::OpenSysEx open;
        MIDITimeStamp last = 0;
        bool subscribed = false;
    };
    struct Lane {
        std::mutex sending;
        AlsaTranslation translation;
        std::map<int, std::shared_ptr<Stream>> streams;
    };
    struct Found {
        std::shared_ptr<Lane> lane;
        std::shared_ptr<Stream> stream;
    };
    Found laneOf(int client, int port, int ourPort) {
        std::lock_guard lock(stateMutex_);
        auto& lane = lanes_[{client, port}];
        if (!lane) lane = std::make_shared<Lane>();
        auto& stream = lane->streams[ourPort];
        if (!stream) stream = std::make_shared<Stream>();
        return {lane, stream};
    }
    OSStatus sendTo(int ourPort, int client, int port, std::span<const std::uint8_t> bytes,
                    MIDITimeStamp at) {
        const auto [lane, stream] = laneOf(client, port, ourPort);
        std::lock_guard sending(lane->sending);
        AlsaTranslation::OpenSysEx open;
        MIDITimeStamp last = 0;
        {
            std::lock_guard lock(stateMutex_);
            open = stream->open;
            last = stream->last;
        }
        const bool silent = at > last && at - last > AlsaOutput::kSilenceEndsSysEx;
        const bool ends = !open.empty() && !bytes.empty() && bytes[0] >= 0x80 && bytes[0] < 0xF7 && silent;
        const AlsaTranslation::EventSink sink = [&](snd_seq_event_t& event, std::size_t) {
            snd_seq_ev_set_source(&event, static_cast<unsigned char>(ourPort));
            snd_seq_ev_set_dest(&event, static_cast<unsigned char>(client), static_cast<unsigned char>(port));
            snd_seq_ev_set_direct(&event);
            const auto since = std::chrono::steady_clock::now();
            while (true) {
                const int result = sequencer_.hasRoomFor(event) ? sequencer_.outputDirect(event) : -EAGAIN;
                if (result >= 0) return 0;
                if (result != -EAGAIN && result != -ENOMEM) return result;
                if (std::chrono::steady_clock::now() - since > std::chrono::seconds(10)) return result;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        };
        int status = ends ? AlsaTranslation::endSysEx(open, 256, sink) : 0;
        if (status >= 0) status = lane->translation.encode(bytes, 256, open, sink);
        std::lock_guard lock(stateMutex_);
        if (status >= 0) {
            *stream = {std::move(open), at, true};
            failing_.erase({client, port});
            return noErr;
        }
        *stream = {};
        return kMIDIMessageSendErr;
    }

    AlsaSequencer& sequencer_;
    std::mutex stateMutex_;
    std::map<std::pair<int, int>, std::shared_ptr<Lane>> lanes_;
    std::set<std::pair<int, int>> failing_;
};

Bytes messageOf(bool sysEx) {
    if (!sysEx) return {0x90, 0x3C, 0x64};
    Bytes bytes(408);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>((i * 37 + 11) % 0x80);
    bytes.front() = 0xF0;
    bytes.back() = 0xF7;
    return bytes;
}

constexpr unsigned kSource = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
constexpr unsigned kType = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION;

// A send per iteration, with the product's output or the baseline; `after(last)` follows each.
template <typename Send>
void measure(benchmark::State& state, AlsaSequencer& sequencer, int sourcePort, const Send& after) {
    const Bytes message = messageOf(state.range(1) != 0);
    AlsaServerConfig config;
    AlsaOutput output(sequencer, config);
    Baseline baseline(sequencer);
    const bool ours = state.range(2) != 0;
    benchmark::IterationCount done = 0;
    for (auto _ : state) {
        const OSStatus status = ours ? output.send({.sourcePort = sourcePort, .toSubscribers = true}, message)
                                     : baseline.send(sourcePort, message);
        if (status != noErr) {
            state.SkipWithError("a send failed");
            break;
        }
        after(++done == state.max_iterations);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(ours ? "turns" : "baseline");
}

void Fake(benchmark::State& state) {
    platform::ManualClock clock;
    alsatest::FakeSequencer sequencer{clock};
    const int source = sequencer.createPort("Sonabel Out", kSource, kType);
    const auto subscribers = static_cast<int>(state.range(0));
    auto reset = [&] {
        for (int i = 0; i < subscribers; ++i) {
            sequencer.removeDestination(130 + i, 0);
            sequencer.addDestination(130 + i, 0, false, 1u << 30);
        }
    };
    reset();
    for (int i = 0; i < subscribers; ++i)
        sequencer.subscribe(source, 130 + i, 0);
    std::size_t sent = 0;
    // The fake keeps every byte: emptied now and then, outside the measure.
    measure(state, sequencer, source, [&](bool) {
        if (++sent % 4096) return;
        state.PauseTiming();
        reset();
        state.ResumeTiming();
    });
}

// A plain alsa-lib client subscribed to our source, counting the events it reads.
class Reader {
public:
    Reader(int client, int port) {
        if (snd_seq_open(&handle_, "default", SND_SEQ_OPEN_DUPLEX, 0) < 0) return;
        snd_seq_set_client_pool_input(handle_, 2000);
        port_ = snd_seq_create_simple_port(handle_, "reader",
                                           SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE, kType);
        if (port_ < 0 || snd_seq_connect_from(handle_, port_, client, port) < 0) return;
        thread_ = std::thread([this] {
            while (!stop_) {
                snd_seq_event_t* event = nullptr;
                if (snd_seq_event_input(handle_, &event) >= 0 && event)
                    events.fetch_add(1, std::memory_order_release);
            }
        });
    }
    ~Reader() {
        if (thread_.joinable()) {
            stop_ = true;
            // Wakes the blocked read: an event to ourselves.
            snd_seq_event_t event{};
            snd_seq_ev_set_source(&event, port_);
            snd_seq_ev_set_dest(&event, snd_seq_client_id(handle_), port_);
            snd_seq_ev_set_direct(&event);
            event.type = SND_SEQ_EVENT_ECHO;
            snd_seq_event_output_direct(handle_, &event);
            thread_.join();
        }
        if (handle_) snd_seq_close(handle_);
    }
    bool ready() const { return thread_.joinable(); }
    std::atomic<std::uint64_t> events{0};

private:
    snd_seq_t* handle_ = nullptr;
    int port_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void Kernel(benchmark::State& state) {
    auto sequencer = platform::midi::AlsaLibSequencer::open("Fan-out bench");
    if (!sequencer) {
        state.SkipWithError("no ALSA sequencer (run it in the guest: scripts/run-in-guest)");
        return;
    }
    const int source = sequencer->createPort("Sonabel Out", kSource, kType);
    std::vector<std::unique_ptr<Reader>> readers;
    for (int i = 0; i < state.range(0); ++i) {
        readers.push_back(std::make_unique<Reader>(sequencer->clientID(), source));
        if (!readers.back()->ready()) {
            state.SkipWithError("a reader did not subscribe");
            return;
        }
    }
    // A SysEx of 408 bytes goes as two events.
    const std::uint64_t perSend = state.range(1) ? 2 : 1;
    std::uint64_t sent = 0;
    measure(state, *sequencer, source, [&](bool last) {
        sent += perSend;
        // The run ends when every reader has read every event.
        if (last)
            for (const auto& reader : readers)
                while (reader->events.load(std::memory_order_acquire) < sent)
                    std::this_thread::yield();
    });
}

void arguments(benchmark::internal::Benchmark* b) {
    b->ArgNames({"subscribers", "sysex", "turns"});
    for (const int sysEx : {0, 1})
        for (const int subscribers : {2, 4, 8})
            for (const int ours : {0, 1})
                b->Args({subscribers, sysEx, ours});
    b->UseRealTime();
}

BENCHMARK(Fake)->Apply(arguments);
BENCHMARK(Kernel)->Apply(arguments)->MinTime(0.5);

} // namespace
