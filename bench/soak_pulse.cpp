// A minute of a 1 kHz tone, in bursts, played to a sound server of the benchmark's own (a null sink)
// and recorded back from the sink's monitor, with busy processes beside it: through the engine (the
// tone from a source node, the monitor through the input node) and, at the same time on a second null
// sink, through a plain RtAudio program of the same shape (streams of the same devices, server, rate
// and period) as the peer to compare with. Once on PulseAudio, once on PipeWire (its PulseAudio
// service, with its session manager). Reports for each program the output underruns, the
// discontinuities found in the recorded sine, and the round trip of the first and the last burst:
// from when its first frame was handed to the server to when it came back, both on the host clock;
// also the longest the round trip stayed more than a period away from the first; for the engine also
// the capture ring's losses and trims.
// SONABEL_SOAK_SECONDS shortens or lengthens the minute; SONABEL_SOAK_PERIOD sets the period (512);
// SONABEL_SOAK_BUSY sets the busy processes (4); with SONABEL_SOAK_BUSY_SECONDS they run that long from
// four seconds in, else the whole run.
#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioInputNode.h"
#include "platform/audio/AudioMixerNode.h"
#include "platform/audio/AudioOutputNode.h"
#include "platform/audio/AudioRingBuffer.h"
#include "platform/audio/AudioSourceNode.h"
#include "platform/audio/devices/AudioCallbackTiming.h"
#include "platform/audio/devices/RtAudioDeviceBackend.h"
#include "platform/core/LogSink.h"
#include "testing/PulseServer.h"

#include <RtAudio.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <numbers>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

using pulsetest::PulseServer;

// Processes that keep a core busy each until they are killed.
class BusyProcesses {
public:
    explicit BusyProcesses(int count) {
        for (int i = 0; i < count; ++i) {
            const pid_t pid = fork();
            if (pid == 0) {
                volatile unsigned long spin = 0;
                for (;;)
                    spin = spin + 1;
            }
            if (pid > 0) pids_.push_back(pid);
        }
    }
    ~BusyProcesses() {
        for (pid_t pid : pids_) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

private:
    std::vector<pid_t> pids_;
};

// The monitor's first channel, by input frame. The storage is reserved before recording: writes
// never move it.
struct Recording {
    std::vector<float> samples;
    std::atomic<std::size_t> count{0}; // samples up to here are written
};

// A sine obeys x[n] = 2cos(w) x[n-1] - x[n-2]; a sample far off that is a discontinuity (a gap, a
// jump, a repeat). Counted as events: one per stretch of bad samples.
int discontinuities(const std::vector<float>& s, std::int64_t from, std::int64_t to, double frequency,
                    double rate) {
    const double k = 2 * std::cos(2 * std::numbers::pi * frequency / rate);
    int events = 0;
    std::int64_t quietUntil = -1;
    for (std::int64_t i = std::max<std::int64_t>(from, 2); i < to; ++i) {
        const double predicted = k * s[i - 1] - s[i - 2];
        if (std::fabs(predicted - s[i]) > 0.02) {
            if (i > quietUntil) ++events;
            quietUntil = i + std::int64_t(rate / 100); // 10 ms of the same glitch
        }
    }
    return events;
}

// Block by block, the host time (nanoseconds) at which a program handed over (or got) the block that
// starts at a frame. Reserved before the run: adding never allocates.
struct Stamps {
    std::vector<std::pair<std::int64_t, std::uint64_t>> at;
    std::atomic<std::size_t> count{0};

    void add(std::int64_t frame, std::uint64_t hostTime) {
        const std::size_t n = count.load(std::memory_order_relaxed);
        if (n == at.size()) return;
        at[n] = {frame, hostTime};
        count.store(n + 1, std::memory_order_release);
    }
    // Seconds on the host clock for a frame: its block's time, and the frame's place in the block at
    // the stream's rate. NaN before the first block.
    double seconds(std::int64_t frame, double rate) const {
        const auto end = at.begin() + std::ptrdiff_t(count.load(std::memory_order_acquire));
        auto it = std::upper_bound(at.begin(), end, frame,
                                   [](std::int64_t f, const auto& stamp) { return f < stamp.first; });
        if (it == at.begin()) return std::nan("");
        --it;
        return double(it->second) * 1e-9 + double(frame - it->first) / rate;
    }
};

struct Settings {
    double seconds = 60;
    int busy = 4;
    std::optional<double> busySeconds;
    unsigned period = 512;
};

// The tone comes in bursts, each starting at phase 0 after a short silence: every burst's start is
// a round trip to measure, and every burst but its edges is a sine to find breaks in.
constexpr double kBurstSeconds = 2.0, kBurstGapSeconds = 0.1;

float tone(std::int64_t t, std::int64_t start, std::int64_t length, double rate) {
    if (t < start || t >= start + length) return 0.0f;
    const auto burst = std::int64_t(kBurstSeconds * rate);
    const std::int64_t in = (t - start) % burst;
    if (in >= burst - std::int64_t(kBurstGapSeconds * rate)) return 0.0f;
    return 0.5f * float(std::sin(2 * std::numbers::pi * 1000.0 * double(in) / rate));
}

struct Result {
    bool recorded = false;
    int breaks = 0;
    std::uint64_t outputUnderruns = 0;
    double roundTripStart = 0, roundTripEnd = 0, roundTripMax = 0; // seconds
    double longestOff = 0; // seconds the round trip stayed more than a period from the first
    unsigned period = 0;   // frames
};

// Busy processes for the run, or for a stretch from four seconds in (once the tone's start has come
// back), then on until the tone's end has come back: half a second of silence after it, at most 20 s
// more.
void waitForTheTone(const Settings& settings, const std::vector<const Recording*>& recordings,
                    std::int64_t toneEnd, double rate) {
    const auto sleep = [](double seconds) {
        if (seconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    };
    const double lead = settings.busySeconds ? std::min(4.0, settings.seconds) : 0.0;
    const double busyFor = std::min(settings.busySeconds.value_or(settings.seconds), settings.seconds - lead);
    sleep(lead);
    {
        BusyProcesses busy(settings.busy);
        sleep(busyFor);
    }
    sleep(settings.seconds - lead - busyFor);
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    std::vector<std::size_t> lastLoud(recordings.size(), 0), scanned(recordings.size(), 0);
    while (Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        bool done = true;
        for (std::size_t r = 0; r < recordings.size(); ++r) {
            const std::size_t count = recordings[r]->count.load(std::memory_order_acquire);
            for (; scanned[r] < count; ++scanned[r])
                if (std::fabs(recordings[r]->samples[scanned[r]]) > 0.05f) lastLoud[r] = scanned[r];
            done = done && lastLoud[r] > 0 && count - lastLoud[r] > std::size_t(rate / 2) &&
                   std::int64_t(count) > toneEnd;
        }
        if (done) break;
    }
}

// The recording's loud stretches (50 ms of quiet or more between them): each burst that came back
// is one; one more is a gap in a burst, a break. Each burst's round trip is from the host time its
// first frame was handed over to the host time of the first stretch to start after it.
void measure(const Recording& recording, const Stamps& handed, const Stamps& received, std::int64_t toneStart,
             std::int64_t toneLength, double rate, Result& result) {
    const std::vector<float> s(recording.samples.begin(),
                               recording.samples.begin() + std::ptrdiff_t(recording.count.load()));
    const auto quiet = std::int64_t(kBurstGapSeconds / 2 * rate), margin = std::int64_t(0.01 * rate);
    std::vector<std::pair<std::int64_t, std::int64_t>> stretches; // first and last loud frame
    std::int64_t quietFor = quiet;
    for (std::int64_t i = 0; i < std::int64_t(s.size()); ++i) {
        if (std::fabs(s[std::size_t(i)]) <= 0.05f) {
            ++quietFor;
            continue;
        }
        if (quietFor >= quiet) stretches.push_back({i, i});
        stretches.back().second = i;
        quietFor = 0;
    }
    for (const auto& [on, off] : stretches)
        if (off - margin > on + margin)
            result.breaks += discontinuities(s, on + margin, off - margin, 1000.0, rate);
    const auto burst = std::int64_t(kBurstSeconds * rate);
    std::vector<double> trips;
    std::size_t next = 0;
    for (std::int64_t first = toneStart; first < toneStart + toneLength; first += burst) {
        const double sent = handed.seconds(first, rate);
        for (; next < stretches.size(); ++next) {
            const double back = received.seconds(stretches[next].first, rate);
            if (back > sent + kBurstSeconds / 2) break; // this burst never came back
            if (back >= sent - 0.05) { // its block's time, not the frame's: a little early at most
                trips.push_back(back - sent);
                ++next;
                break;
            }
        }
    }
    if (trips.empty()) return;
    result.recorded = true;
    result.breaks += int(stretches.size() - trips.size());
    result.roundTripStart = trips.front();
    result.roundTripEnd = trips.back();
    result.roundTripMax = *std::max_element(trips.begin(), trips.end());
    double off = 0;
    for (double trip : trips) {
        off = std::fabs(trip - trips.front()) > double(result.period) / rate ? off + kBurstSeconds : 0;
        result.longestOff = std::max(result.longestOff, off);
    }
}

struct EngineResult : Result {
    std::uint64_t captureUnderrunFrames = 0, overrunFrames = 0, discardedFrames = 0;
};

// The engine: a source node plays the tone into the main mixer, the input node records the monitor
// through a tap, placed by the engine's sample time (a block the tap thread had no room for stays a
// gap). Both directions are stamped by the render cycle that handed over the tone or read the input.
struct EngineRun {
    std::shared_ptr<platform::AudioEngine> engine = platform::AudioEngine::make();
    std::shared_ptr<platform::AudioIOBackend> io;
    double rate = 0;
    std::int64_t toneStart = 0, toneLength = 0;
    Recording recording;
    Stamps cycles;
    std::shared_ptr<platform::AudioRingBuffer> ring;

    // False when the monitor runs at another rate than the sink.
    bool prepare(platform::RtAudioDeviceBackend& rt, const Settings& settings) {
        io = rt.makeIO();
        engine->setIOBackend(io);
        rate = engine->outputNode()->outputFormat(0).sampleRate();
        toneStart = std::int64_t(0.5 * rate);
        toneLength = std::int64_t(std::floor(settings.seconds / kBurstSeconds) * kBurstSeconds * rate);
        cycles.at.resize(std::size_t((settings.seconds + 30) * rate / 32));
        auto source = platform::AudioSourceNode::make([this](bool&, const platform::AudioTime& time,
                                                             std::uint32_t frames, float* const* out,
                                                             std::uint32_t channels) {
            cycles.add(time.sampleTime(),
                       time.isHostTimeValid() ? time.hostTime() : platform::HostClock::system().now());
            for (std::uint32_t i = 0; i < frames; ++i) {
                const float v = tone(time.sampleTime() + i, toneStart, toneLength, rate);
                for (std::uint32_t c = 0; c < channels; ++c)
                    out[c][i] = v;
            }
            return noErr;
        });
        engine->attach(source);
        engine->connect(source, engine->mainMixerNode(), *platform::AudioFormat::standard(rate, 2));
        auto input = engine->inputNode();
        if (input->outputFormat(0).sampleRate() != rate) return false;
        input->setVolume(0);
        engine->connect(input, engine->mainMixerNode(), input->outputFormat(0));
        recording.samples.assign(std::size_t((settings.seconds + 30) * rate), 0.0f);
        input->installTap(0, 1024, std::nullopt,
                          [this](std::shared_ptr<platform::PCMBuffer> buffer, platform::AudioTime when) {
                              const std::int64_t at = when.sampleTime();
                              const float* s = buffer->floatChannelData()[0];
                              for (std::uint32_t i = 0; i < buffer->frameLength(); ++i)
                                  if (at + i >= 0 && std::size_t(at + i) < recording.samples.size())
                                      recording.samples[std::size_t(at + i)] = s[i];
                              const auto end = std::min<std::size_t>(
                                  std::size_t(std::max<std::int64_t>(at + buffer->frameLength(), 0)),
                                  recording.samples.size());
                              if (end > recording.count.load(std::memory_order_relaxed))
                                  recording.count.store(end, std::memory_order_release);
                          });
        return true;
    }
    void start() {
        engine->start();
        ring = engine->inputNode()->captureRing();
    }
    EngineResult finish() {
        EngineResult result;
        io->bufferFrameSize(result.period);
        result.outputUnderruns = engine->outputUnderruns();
        result.captureUnderrunFrames = ring ? ring->underrunFrames() : 0;
        result.overrunFrames = ring ? ring->overrunFrames() : 0;
        result.discardedFrames = ring ? ring->discardedFrames() : 0;
        engine->stop();
        measure(recording, cycles, cycles, toneStart, toneLength, rate, result);
        return result;
    }
};

// The plain program: streams of the same shape as the engine's (an output and an input stream,
// opened and started back to back), each block stamped on the host clock as its callback runs;
// underruns as the engine counts them (the stream's flag or its callbacks' timing).
struct Peer {
    std::int64_t toneStart = 0, toneLength = 0;
    double rate = 0;
    std::int64_t played = 0; // output stream only
    unsigned inputChannels = 2;
    Recording recording;
    Stamps handed, received;
    std::optional<platform::AudioCallbackTiming> timing;
    std::atomic<bool> timingReady{false};
    std::atomic<std::uint64_t> underruns{0};

    static int callback(void* out, void* in, unsigned frames, double, RtAudioStreamStatus status,
                        void* user) {
        auto* self = static_cast<Peer*>(user);
        const std::uint64_t now = platform::HostClock::system().now();
        if (out) {
            if (self->timingReady.load(std::memory_order_acquire) &&
                self->timing->callback(now, frames, status & RTAUDIO_OUTPUT_UNDERFLOW))
                self->underruns.fetch_add(1, std::memory_order_relaxed);
            self->handed.add(self->played, now);
            auto* samples = static_cast<float*>(out);
            for (unsigned i = 0; i < frames; ++i) {
                const float v = tone(self->played + i, self->toneStart, self->toneLength, self->rate);
                samples[2 * i] = samples[2 * i + 1] = v;
            }
            self->played += frames;
        }
        if (in) {
            const auto* samples = static_cast<const float*>(in);
            std::size_t n = self->recording.count.load(std::memory_order_relaxed);
            self->received.add(std::int64_t(n), now);
            for (unsigned i = 0; i < frames && n < self->recording.samples.size(); ++i)
                self->recording.samples[n++] = samples[std::size_t(i) * self->inputChannels];
            self->recording.count.store(n, std::memory_order_release);
        }
        return 0;
    }
};

// Opens and starts the peer's streams on the server's other sink and its monitor.
bool startPeer(Peer& peer, RtAudio& out, RtAudio& in, const Settings& settings, double rate) {
    peer.rate = rate;
    peer.toneStart = std::int64_t(0.5 * rate);
    peer.toneLength = std::int64_t(std::floor(settings.seconds / kBurstSeconds) * kBurstSeconds * rate);
    peer.recording.samples.assign(std::size_t((settings.seconds + 30) * rate), 0.0f);
    for (Stamps* stamps : {&peer.handed, &peer.received})
        stamps->at.resize(std::size_t((settings.seconds + 30) * rate / 32));
    bool started = false;
    try {
        out.showWarnings(false);
        in.showWarnings(false);
        // The peer's sink and its monitor, by name: PulseAudio lists the monitor as a device of its
        // own, PipeWire as the sink's input.
        // PipeWire lists the sink a moment after it is made.
        std::optional<unsigned> sink, monitor;
        for (const auto deadline = Clock::now() + std::chrono::seconds(5);
             !(sink && monitor) && Clock::now() < deadline;
             std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
            for (unsigned d = 0; d < out.getDeviceCount(); ++d) {
                const RtAudio::DeviceInfo info = out.getDeviceInfo(d);
                if (info.name == "Peer" && info.outputChannels >= 2) sink = d;
                if ((info.name == "Monitor of Peer" || info.name == "Peer") && info.inputChannels > 0)
                    monitor = d;
            }
        }
        if (!sink || !monitor) {
            std::fprintf(stderr, "soak peer: RtAudio does not list the peer's sink and monitor\n");
            return false;
        }
        RtAudio::StreamParameters outParameters{*sink, 2, 0};
        peer.inputChannels = std::min(2u, in.getDeviceInfo(*monitor).inputChannels);
        RtAudio::StreamParameters inParameters{*monitor, peer.inputChannels, 0};
        unsigned outFrames = settings.period, inFrames = settings.period;
        out.openStream(&outParameters, nullptr, RTAUDIO_FLOAT32, unsigned(rate), &outFrames, &Peer::callback,
                       &peer);
        peer.timing.emplace(rate, outFrames);
        peer.timingReady.store(true, std::memory_order_release);
        in.openStream(nullptr, &inParameters, RTAUDIO_FLOAT32, unsigned(rate), &inFrames, &Peer::callback,
                      &peer);
        in.startStream();
        out.startStream();
        started = true;
    } catch (const RtAudioError& error) {
        std::fprintf(stderr, "soak peer: %s\n", error.getMessage().c_str());
    }
    return started;
}

Result finishPeer(Peer& peer, RtAudio& out, RtAudio& in, unsigned period) {
    for (RtAudio* rt : {&out, &in}) {
        try {
            if (rt->isStreamRunning()) rt->stopStream();
        } catch (const RtAudioError&) {
        }
    }
    Result result;
    result.period = period;
    result.outputUnderruns = peer.underruns.load();
    measure(peer.recording, peer.handed, peer.received, peer.toneStart, peer.toneLength, peer.rate, result);
    return result;
}

double environment(const char* name, double fallback) {
    const char* value = std::getenv(name);
    return value ? std::atof(value) : fallback;
}

void soak(benchmark::State& state, PulseServer::Kind kind) {
    PulseServer pulse("soak", kind);
    const char* serverName = kind == PulseServer::Kind::pipewire ? "PipeWire" : "PulseAudio";
    if (!pulse.whyNot.empty()) {
        state.SkipWithError((std::string(serverName) + " cannot start here: " + pulse.whyNot).c_str());
        return;
    }
    setenv("PULSE_SERVER", pulse.server().c_str(), 1);
    Settings settings;
    settings.seconds = std::max(5.0, environment("SONABEL_SOAK_SECONDS", 60.0));
    settings.period = unsigned(std::max(16.0, environment("SONABEL_SOAK_PERIOD", 512)));
    settings.busy = std::max(0, int(environment("SONABEL_SOAK_BUSY", 4)));
    if (std::getenv("SONABEL_SOAK_BUSY_SECONDS"))
        settings.busySeconds = environment("SONABEL_SOAK_BUSY_SECONDS", 0);
    auto rt = platform::RtAudioDeviceBackend::makeIfAvailable(
        {&platform::HostClock::system(), settings.period, platform::RtAudioDeviceBackend::Api::pulse});
    if (!rt) {
        state.SkipWithError("RtAudio lists no PulseAudio device");
        return;
    }
    for (auto _ : state) {
        platform::ScopedLogCapture log;
        EngineRun run;
        if (!run.prepare(*rt, settings)) {
            state.SkipWithError("the monitor runs at another rate than the sink");
            break;
        }
        run.start();
        // The peer plays to a sink of its own, made once the engine's streams are on the first, so that
        // both run at once, under the same load.
        if (!pulsetest::succeeds({"pactl", "load-module", "module-null-sink", "sink_name=sonabel_peer",
                                  "sink_properties=device.description=Peer"},
                                 {}, (pulse.folder / "server.log").string())) {
            state.SkipWithError("the peer's sink could not be made");
            break;
        }
        Peer peer;
        RtAudio out(RtAudio::LINUX_PULSE), in(RtAudio::LINUX_PULSE);
        const bool peerRuns = startPeer(peer, out, in, settings, run.rate);
        waitForTheTone(settings, {&run.recording, &peer.recording}, run.toneStart + run.toneLength, run.rate);
        const EngineResult engine = run.finish();
        // Not an optional: GCC cannot see that its fields are set where they are read.
        const Result peerRun = peerRuns ? finishPeer(peer, out, in, engine.period) : Result{};
        for (const auto& line : log.lines())
            std::fprintf(stderr, "soak engine: %s\n", line.c_str());
        if (!engine.recorded) {
            state.SkipWithError("nothing was recorded back through the engine");
            break;
        }
        if (!peerRun.recorded) {
            state.SkipWithError("nothing was recorded back through the peer");
            break;
        }
        state.counters["seconds"] = settings.seconds;
        state.counters["busy"] = settings.busy;
        state.counters["period"] = engine.period;
        state.counters["engine_breaks"] = engine.breaks;
        state.counters["engine_output_underruns"] = double(engine.outputUnderruns);
        state.counters["engine_capture_underrun_frames"] = double(engine.captureUnderrunFrames);
        state.counters["engine_overrun_frames"] = double(engine.overrunFrames);
        state.counters["engine_dropped_for_latency_frames"] = double(engine.discardedFrames);
        state.counters["engine_round_trip_start_ms"] = engine.roundTripStart * 1e3;
        state.counters["engine_round_trip_end_ms"] = engine.roundTripEnd * 1e3;
        state.counters["engine_round_trip_max_ms"] = engine.roundTripMax * 1e3;
        state.counters["engine_round_trip_off_s"] = engine.longestOff;
        state.counters["peer_breaks"] = peerRun.breaks;
        state.counters["peer_output_underruns"] = double(peerRun.outputUnderruns);
        state.counters["peer_round_trip_start_ms"] = peerRun.roundTripStart * 1e3;
        state.counters["peer_round_trip_end_ms"] = peerRun.roundTripEnd * 1e3;
        state.counters["peer_round_trip_max_ms"] = peerRun.roundTripMax * 1e3;
        state.counters["peer_round_trip_off_s"] = peerRun.longestOff;
        // Goals: the engine's breaks at most the peer's + 2; no underrun where the peer has none
        // (nothing played late); the round trip more than a period from its start for at most 30 s
        // (round_trip_off_s); its start within two periods of the peer's.
        state.counters["breaks_over_peer"] = engine.breaks - peerRun.breaks;
        state.counters["round_trip_over_peer_periods"] =
            (engine.roundTripStart - peerRun.roundTripStart) * run.rate / double(engine.period);
    }
    unsetenv("PULSE_SERVER");
}

} // namespace

BENCHMARK_CAPTURE(soak, pulseaudio, PulseServer::Kind::pulseaudio)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK_CAPTURE(soak, pipewire, PulseServer::Kind::pipewire)->Unit(benchmark::kSecond)->Iterations(1);
