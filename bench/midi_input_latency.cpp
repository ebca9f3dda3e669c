// Through the kernel, in the guest of scripts/run-in-guest (elsewhere it skips): the USB instrument
// of scripts/usb-instrument plays to four receivers subscribed at once: a plain alsa-lib reader
// (its own client, blocking reads, the same input pool as ours), our server's packet-list and
// universal-packet input ports, and the MIDI object with a listener. Traffic: steady notes at
// 200 a second, bursts of 1,000 notes in one write, and 408-byte SysEx. Each message carries its
// number; the latency is from the instrument's write to the receiver's hand (one clock, one
// process). Printed per case and receiver: lost messages, median and p99, and the ratios to the
// plain reader ("x_plain"; the aim is at most 1.3 in every case, nothing lost).
#include "platform/midi/EventListReader.h"
#include "platform/midi/PacketListReader.h"
#include "platform/midi/alsa/AlsaLibSequencer.h"
#include "platform/midi/alsa/AlsaServer.h"
#include "sonabel/midi/MIDI.h"
#include "sonabel/midi/MIDIListener.h"
#include "testing/UsbInstrument.h"

#include <alsa/asoundlib.h>
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

const std::string kName = "Toskar MK2";
constexpr std::size_t kSysExLength = 408;

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// Message numbers ride in the bytes: a note on's channel, key and velocity (never 0), a SysEx's
// first two data bytes after the manufacturer.
Bytes noteOn(int number) {
    return {std::uint8_t(0x90 | (number / (127 * 128))), std::uint8_t(number / 127 % 128),
            std::uint8_t(1 + number % 127)};
}
int noteNumber(std::uint8_t status, std::uint8_t key, std::uint8_t velocity) {
    if ((status & 0xF0) != 0x90 || velocity == 0) return -1;
    return (status & 0x0F) * 127 * 128 + key * 127 + velocity - 1;
}
Bytes sysEx(int number) {
    Bytes m(kSysExLength);
    for (std::size_t i = 0; i < m.size(); ++i)
        m[i] = std::uint8_t(i % 128);
    m[0] = 0xF0;
    m[1] = 0x7D;
    m[2] = std::uint8_t(number >> 7);
    m[3] = std::uint8_t(number & 0x7F);
    m.back() = 0xF7;
    return m;
}
// A whole SysEx from F0 to F7.
int sysExNumber(const Bytes& m) {
    if (m.size() != kSysExLength || m[0] != 0xF0 || m[1] != 0x7D || m.back() != 0xF7) return -1;
    return m[2] << 7 | m[3];
}

// When each numbered message first reached one receiver.
class Arrivals {
public:
    Arrivals(std::string name, std::size_t count) : name_(std::move(name)), at_(count) {}
    void arrived(int number, std::int64_t at) {
        if (number < 0 || static_cast<std::size_t>(number) >= at_.size()) return;
        std::int64_t none = 0;
        if (at_[number].compare_exchange_strong(none, at)) ++count_;
    }
    std::size_t countIn(int first, int end) const {
        std::size_t n = 0;
        for (int i = first; i < end; ++i)
            n += at_[i].load() != 0;
        return n;
    }
    std::int64_t at(int number) const { return at_[number].load(); }
    const std::string& name() const { return name_; }

private:
    std::string name_;
    std::vector<std::atomic<std::int64_t>> at_;
    std::atomic<std::size_t> count_{0};
};

// Pieces of SysEx to whole messages, as any receiver has to.
class SysExJoin {
public:
    // The message once `piece` ends it.
    template <class Bytes_> const Bytes* add(const Bytes_& piece) {
        for (const auto b : piece) {
            if (b == 0xF0) buffer_.clear();
            buffer_.push_back(b);
        }
        if (buffer_.empty() || buffer_.back() != 0xF7) return nullptr;
        done_ = std::move(buffer_);
        buffer_.clear();
        return &done_;
    }

private:
    Bytes buffer_, done_;
};

// The reader a C programmer writes: its own sequencer client, a blocking read, nothing else.
class PlainReader {
public:
    PlainReader(Arrivals& arrivals, long poolCells) : arrivals_(arrivals) {
        if (snd_seq_open(&seq_, "default", SND_SEQ_OPEN_DUPLEX, 0) < 0) return;
        snd_seq_set_client_name(seq_, "plain reader");
        snd_seq_set_client_pool_input(seq_, poolCells);
        snd_seq_set_input_buffer_size(seq_, poolCells * sizeof(snd_seq_event_t));
        port_ = snd_seq_create_simple_port(seq_, "in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                           SND_SEQ_PORT_TYPE_APPLICATION);
        const int instrument = clientNamed(kName);
        if (port_ < 0 || instrument < 0 || snd_seq_connect_from(seq_, port_, instrument, 0) < 0) return;
        thread_ = std::thread([this] { run(); });
    }
    ~PlainReader() {
        if (thread_.joinable()) {
            snd_seq_event_t stop{};
            snd_seq_ev_set_source(&stop, port_);
            snd_seq_ev_set_dest(&stop, snd_seq_client_id(seq_), port_);
            snd_seq_ev_set_direct(&stop);
            stop.type = SND_SEQ_EVENT_ECHO;
            snd_seq_event_output_direct(seq_, &stop);
            thread_.join();
        }
        if (seq_) snd_seq_close(seq_);
    }
    bool running() const { return thread_.joinable(); }

private:
    int clientNamed(const std::string& name) {
        snd_seq_client_info_t* info = nullptr;
        snd_seq_client_info_alloca(&info);
        snd_seq_client_info_set_client(info, -1);
        while (snd_seq_query_next_client(seq_, info) == 0)
            if (name == snd_seq_client_info_get_name(info)) return snd_seq_client_info_get_client(info);
        return -1;
    }
    void run() {
        SysExJoin join;
        while (true) {
            snd_seq_event_t* event = nullptr;
            if (snd_seq_event_input(seq_, &event) < 0 || !event) continue; // an overrun: counted as lost
            const std::int64_t at = nowNs();
            if (event->type == SND_SEQ_EVENT_ECHO) return;
            if (event->type == SND_SEQ_EVENT_NOTEON)
                arrivals_.arrived(noteNumber(0x90 | event->data.note.channel, event->data.note.note,
                                             event->data.note.velocity),
                                  at);
            if (event->type == SND_SEQ_EVENT_SYSEX) {
                const auto* data = static_cast<const std::uint8_t*>(event->data.ext.ptr);
                if (const Bytes* m = join.add(std::span(data, event->data.ext.len)))
                    arrivals_.arrived(sysExNumber(*m), at);
            }
        }
    }

    Arrivals& arrivals_;
    snd_seq_t* seq_ = nullptr;
    int port_ = -1;
    std::thread thread_;
};

// Packet lists: a packet holds whole messages, or a piece of a SysEx.
void readPackets(const MIDIPacketList* list, ByteCount size, SysExJoin& join, Arrivals& arrivals) {
    const std::int64_t at = nowNs();
    platform::midi::PacketListReader reader(list, size);
    platform::midi::PacketListReader::Packet packet;
    while (reader.next(packet)) {
        const auto data = packet.data;
        if (!data.empty() && (data[0] == 0xF0 || data[0] < 0x80)) {
            if (const Bytes* m = join.add(data)) arrivals.arrived(sysExNumber(*m), at);
            continue;
        }
        for (std::size_t i = 0; i + 3 <= data.size(); i += 3)
            arrivals.arrived(noteNumber(data[i], data[i + 1], data[i + 2]), at);
    }
}

// Universal packets, MIDI 1.0 protocol: channel voice words, and SysEx in 64-bit pieces.
void readEvents(const MIDIEventList* list, ByteCount size, SysExJoin& join, Arrivals& arrivals) {
    const std::int64_t at = nowNs();
    platform::midi::EventListReader reader(list, size);
    platform::midi::EventListReader::Packet packet;
    while (reader.next(packet)) {
        const auto& w = packet.words;
        for (std::size_t i = 0; i < w.size();) {
            const unsigned type = w[i] >> 28;
            if (type == 2) {
                arrivals.arrived(noteNumber(w[i] >> 16 & 0xFF, w[i] >> 8 & 0x7F, w[i] & 0x7F), at);
                ++i;
            } else if (type == 3 && i + 1 < w.size()) {
                const unsigned status = w[i] >> 20 & 0xF, count = std::min(w[i] >> 16 & 0xF, 6u);
                const std::uint8_t all[6] = {std::uint8_t(w[i] >> 8),      std::uint8_t(w[i]),
                                             std::uint8_t(w[i + 1] >> 24), std::uint8_t(w[i + 1] >> 16),
                                             std::uint8_t(w[i + 1] >> 8),  std::uint8_t(w[i + 1])};
                Bytes piece;
                if (status <= 1) piece.push_back(0xF0);
                piece.insert(piece.end(), all, all + count);
                if (status == 0 || status == 3) piece.push_back(0xF7);
                if (const Bytes* m = join.add(piece)) arrivals.arrived(sysExNumber(*m), at);
                i += 2;
            } else {
                ++i;
            }
        }
    }
}

class Listener final : public sonabel::MIDIListener {
public:
    explicit Listener(Arrivals& arrivals) : arrivals_(arrivals) {}
    void receivedMIDINoteOn(sonabel::MIDINoteNumber key, sonabel::MIDIVelocity velocity,
                            sonabel::MIDIChannel channel, std::optional<MIDIUniqueID>,
                            std::optional<MIDITimeStamp>) override {
        arrivals_.arrived(noteNumber(0x90 | channel, key, velocity), nowNs());
    }
    void receivedMIDISystemCommand(const std::vector<sonabel::MIDIByte>& data, std::optional<MIDIUniqueID>,
                                   std::optional<MIDITimeStamp>) override {
        arrivals_.arrived(sysExNumber(data), nowNs());
    }

private:
    Arrivals& arrivals_;
};

struct Case {
    const char* name;
    int first, end; // message numbers
};

struct Figures {
    std::size_t lost = 0;
    double medianMs = 0, p99Ms = 0;
};

Figures figuresOf(const Arrivals& arrivals, const std::vector<std::int64_t>& sent, const Case& c) {
    std::vector<double> ms;
    Figures f;
    for (int i = c.first; i < c.end; ++i) {
        if (const auto at = arrivals.at(i); at != 0)
            ms.push_back(double(at - sent[i]) / 1e6);
        else
            ++f.lost;
    }
    std::sort(ms.begin(), ms.end());
    if (!ms.empty()) {
        f.medianMs = ms[ms.size() / 2];
        f.p99Ms = ms[std::min(ms.size() - 1, (ms.size() * 99 + 99) / 100 - 1)];
    }
    return f;
}

void InputLatencyAgainstPlainReader(benchmark::State& state) {
    if (::access("/dev/snd/seq", F_OK) != 0 || !std::filesystem::exists("/sys/kernel/config/usb_gadget"))
        return state.SkipWithError("no sequencer and USB gadget here: run it in scripts/run-in-guest");
    kerneltest::UsbInstrument instrument(kName);
    if (!instrument.plugged()) return state.SkipWithError("the USB instrument did not come up");

    const Case warmUp{"warm-up", 0, 20};
    constexpr int kBursts = 5, kBurst = 1000;
    const std::vector<Case> cases{{"notes, 200 a second", 20, 1020},
                                  {"5 bursts of 1,000 notes", 1020, 1020 + kBursts * kBurst},
                                  {"408-byte SysEx, 50 a second", 6020, 6270}};
    const std::size_t count = 6270;
    std::vector<std::unique_ptr<Arrivals>> receivers;
    for (const char* name : {"plain alsa-lib", "packet-list port", "universal-packet port", "MIDI object"})
        receivers.push_back(std::make_unique<Arrivals>(name, count));

    platform::BackgroundJobs jobs;
    platform::midi::AlsaServerConfig config;
    config.jobs = &jobs;
    auto server = platform::midi::AlsaServer::open(config);
    if (!server) return state.SkipWithError("the sequencer does not open");
    {
        PlainReader plain(*receivers[0], platform::midi::AlsaLibSequencer::kInputPoolCells);
        MIDIClientRef client = 0;
        MIDIPortRef packets = 0, events = 0;
        MIDIEndpointRef toskar = 0;
        server->createClient("latency bench", {}, &client);
        for (ItemCount i = 0; i < server->numberOfSources(); ++i) {
            std::string name;
            if (server->getStringProperty(server->source(i), kMIDIPropertyName, &name) == noErr &&
                name == kName)
                toskar = server->source(i);
        }
        SysExJoin packetJoin, eventJoin;
        server->createInputPortWithBlock(
            client, "packets",
            [&](const MIDIPacketList* list, ByteCount size, void*) {
                readPackets(list, size, packetJoin, *receivers[1]);
            },
            &packets);
        server->createInputPortWithProtocol(
            client, "events", kMIDIProtocol_1_0,
            [&](const MIDIEventList* list, ByteCount size, void*) {
                readEvents(list, size, eventJoin, *receivers[2]);
            },
            &events);
        auto midi = sonabel::MIDI::make({.server = server});
        auto listener = std::make_shared<Listener>(*receivers[3]);
        midi->addListener(listener);
        midi->openInput(kName);
        if (!plain.running() || !toskar || server->connectSource(packets, toskar, nullptr) != noErr ||
            server->connectSource(events, toskar, nullptr) != noErr)
            return state.SkipWithError("a receiver could not subscribe to the instrument");

        std::vector<std::int64_t> sent(count);
        const auto waitFor = [&](const Case& c) {
            const auto deadline = Clock::now() + std::chrono::seconds(10);
            for (const auto& r : receivers)
                while (r->countIn(c.first, c.end) < std::size_t(c.end - c.first) && Clock::now() < deadline)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
        };
        const auto play = [&](const Case& c, auto message, std::chrono::microseconds every) {
            auto due = Clock::now();
            for (int i = c.first; i < c.end; ++i, due += every) {
                std::this_thread::sleep_until(due);
                const Bytes m = message(i);
                sent[i] = nowNs();
                instrument.send(m);
            }
        };
        for (auto _ : state) {
            play(warmUp, noteOn, std::chrono::milliseconds(5));
            waitFor(warmUp);
            play(cases[0], noteOn, std::chrono::microseconds(5000));
            waitFor(cases[0]);
            for (int first = cases[1].first; first < cases[1].end; first += kBurst) {
                Bytes burst;
                for (int i = first; i < first + kBurst; ++i) {
                    const Bytes m = noteOn(i);
                    burst.insert(burst.end(), m.begin(), m.end());
                }
                const std::int64_t burstAt = nowNs();
                std::fill(sent.begin() + first, sent.begin() + first + kBurst, burstAt);
                instrument.send(burst);
                waitFor({"burst", first, first + kBurst});
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
            play(cases[2], sysEx, std::chrono::microseconds(20000));
            waitFor(cases[2]);
        }

        double worstMedian = 0, worstP99 = 0;
        std::size_t lost = 0;
        std::printf("%-28s %-22s %5s %10s %10s %9s %9s\n", "case", "receiver", "lost", "median_ms", "p99_ms",
                    "x_median", "x_p99");
        for (const auto& c : cases) {
            const Figures plainFigures = figuresOf(*receivers[0], sent, c);
            for (const auto& r : receivers) {
                const Figures f = figuresOf(*r, sent, c);
                const double xMedian = plainFigures.medianMs > 0 ? f.medianMs / plainFigures.medianMs : 0;
                const double xP99 = plainFigures.p99Ms > 0 ? f.p99Ms / plainFigures.p99Ms : 0;
                std::printf("%-28s %-22s %5zu %10.3f %10.3f %9.2f %9.2f\n", c.name, r->name().c_str(), f.lost,
                            f.medianMs, f.p99Ms, xMedian, xP99);
                lost += f.lost;
                if (r.get() != receivers[0].get()) {
                    worstMedian = std::max(worstMedian, xMedian);
                    worstP99 = std::max(worstP99, xP99);
                }
            }
        }
        std::fflush(stdout);
        state.counters["lost"] = double(lost);
        state.counters["worst_x_median"] = worstMedian;
        state.counters["worst_x_p99"] = worstP99;
        midi->clearListeners();
        midi->closeAllInputs();
        server->disposeClient(client);
    }
    server->stop();
    jobs.joinAll();
}

} // namespace

BENCHMARK(InputLatencyAgainstPlainReader)->Iterations(1)->Unit(benchmark::kMillisecond);
