// A minute of a 1 kHz tone played to a PulseAudio server of the benchmark's own (a null sink) and
// recorded back from the sink's monitor, with busy processes beside it: through the engine (the tone
// from a source node, the monitor through the input node) and, at the same time on a second null sink,
// through a plain RtAudio program of the same shape (one output and one input stream, the same server,
// rate and period) as the peer to compare with. Reports for each the output underruns, the
// discontinuities found in the recorded sine, and the round-trip latency at the start (where the tone
// begins) and at the end (where it stops); for the engine also the capture ring's losses and trims.
// SONABEL_SOAK_SECONDS shortens or lengthens the minute; SONABEL_SOAK_BUSY sets the busy processes
// (4); with SONABEL_SOAK_BUSY_SECONDS they run that long from four seconds in, else the whole run.
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

// Where the recording first rises above (or last stays above) the level, from the given end.
std::int64_t edge(const std::vector<float>& s, bool last) {
    const float level = 0.05f;
    if (!last) {
        for (std::size_t i = 0; i < s.size(); ++i)
            if (std::fabs(s[i]) > level) return std::int64_t(i);
    } else {
        for (std::size_t i = s.size(); i-- > 0;)
            if (std::fabs(s[i]) > level) return std::int64_t(i);
    }
    return -1;
}

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

struct Settings {
    double seconds = 60;
    int busy = 4;
    std::optional<double> busySeconds;
    unsigned period = 512;
};

struct Result {
    int breaks = 0;
    std::uint64_t outputUnderruns = 0;
    double latencyStart = 0, latencyEnd = 0; // seconds
    bool recorded = false;
};

// A 1 kHz tone from output frame `start` for `length` frames.
float tone(std::int64_t t, std::int64_t start, std::int64_t length, double rate) {
    return t >= start && t < start + length
               ? 0.5f * float(std::sin(2 * std::numbers::pi * 1000.0 * double(t - start) / rate))
               : 0.0f;
}

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

// Recorded input frame i lines up with output frame i: latencies are where the tone's edges came back.
void measure(const Recording& recording, std::int64_t toneStart, std::int64_t toneEnd, double rate,
             Result& result) {
    std::vector<float> s(recording.samples.begin(),
                         recording.samples.begin() + std::ptrdiff_t(recording.count.load()));
    const std::int64_t onset = edge(s, false), offset = edge(s, true);
    if (onset < 0 || offset <= onset) return;
    result.recorded = true;
    result.latencyStart = double(onset - toneStart) / rate;
    result.latencyEnd = double(offset + 1 - toneEnd) / rate;
    const auto margin = std::int64_t(0.01 * rate);
    result.breaks = discontinuities(s, onset + margin, offset - margin, 1000.0, rate);
}

struct EngineResult : Result {
    std::uint64_t captureUnderrunFrames = 0, overrunFrames = 0, discardedFrames = 0;
};

// The engine: a source node plays the tone into the main mixer, the input node records the monitor
// through a tap, placed by the engine's sample time (a block the tap thread had no room for stays a gap).
struct EngineRun {
    std::shared_ptr<platform::AudioEngine> engine = platform::AudioEngine::make();
    double rate = 0;
    std::int64_t toneStart = 0, toneLength = 0;
    Recording recording;
    std::shared_ptr<platform::AudioRingBuffer> ring;

    // False when the monitor runs at another rate than the sink.
    bool prepare(platform::RtAudioDeviceBackend& rt, const Settings& settings) {
        engine->setIOBackend(rt.makeIO());
        rate = engine->outputNode()->outputFormat(0).sampleRate();
        toneStart = std::int64_t(0.5 * rate);
        toneLength = std::int64_t(settings.seconds * rate);
        auto source = platform::AudioSourceNode::make([this](bool&, const platform::AudioTime& time,
                                                             std::uint32_t frames, float* const* out,
                                                             std::uint32_t channels) {
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
        result.outputUnderruns = engine->outputUnderruns();
        result.captureUnderrunFrames = ring ? ring->underrunFrames() : 0;
        result.overrunFrames = ring ? ring->overrunFrames() : 0;
        result.discardedFrames = ring ? ring->discardedFrames() : 0;
        engine->stop();
        measure(recording, toneStart, toneStart + toneLength, rate, result);
        return result;
    }
};

// The plain program: an output stream that plays the tone and an input stream that records the
// monitor, opened and started back to back, each with its own callback; underruns as the engine
// counts them (the stream's flag or its callbacks' timing).
struct Peer {
    std::int64_t toneStart = 0, toneLength = 0;
    double rate = 0;
    std::atomic<std::int64_t> played{0};
    unsigned inputChannels = 2;
    Recording recording;
    std::optional<platform::AudioCallbackTiming> timing;
    std::atomic<std::uint64_t> underruns{0};

    static int output(void* out, void*, unsigned frames, double, RtAudioStreamStatus status, void* user) {
        auto* self = static_cast<Peer*>(user);
        if (self->timing->callback(platform::HostClock::system().now(), frames,
                                   status & RTAUDIO_OUTPUT_UNDERFLOW))
            self->underruns.fetch_add(1, std::memory_order_relaxed);
        auto* samples = static_cast<float*>(out);
        const std::int64_t t0 = self->played.load(std::memory_order_relaxed);
        for (unsigned i = 0; i < frames; ++i) {
            const float v = tone(t0 + i, self->toneStart, self->toneLength, self->rate);
            samples[2 * i] = samples[2 * i + 1] = v;
        }
        self->played.store(t0 + frames, std::memory_order_relaxed);
        return 0;
    }
    static int input(void*, void* in, unsigned frames, double, RtAudioStreamStatus, void* user) {
        auto* self = static_cast<Peer*>(user);
        const auto* samples = static_cast<const float*>(in);
        std::size_t n = self->recording.count.load(std::memory_order_relaxed);
        for (unsigned i = 0; i < frames && n < self->recording.samples.size(); ++i)
            self->recording.samples[n++] = samples[std::size_t(i) * self->inputChannels];
        self->recording.count.store(n, std::memory_order_release);
        return 0;
    }
};

// Opens and starts the peer's streams on the server's other sink and its monitor.
bool startPeer(Peer& peer, RtAudio& out, RtAudio& in, const Settings& settings, double rate) {
    peer.rate = rate;
    peer.toneStart = std::int64_t(0.5 * rate);
    peer.toneLength = std::int64_t(settings.seconds * rate);
    peer.recording.samples.assign(std::size_t((settings.seconds + 30) * rate), 0.0f);
    bool started = false;
    try {
        out.showWarnings(false);
        in.showWarnings(false);
        // The peer's sink and its monitor, by name.
        std::optional<unsigned> sink, monitor;
        for (unsigned d = 0; d < out.getDeviceCount(); ++d) {
            const RtAudio::DeviceInfo info = out.getDeviceInfo(d);
            if (info.name == "Peer" && info.outputChannels >= 2) sink = d;
            if (info.name == "Monitor of Peer" && info.inputChannels > 0) monitor = d;
        }
        if (!sink || !monitor) {
            std::fprintf(stderr, "soak peer: RtAudio does not list the peer's sink and monitor\n");
            return false;
        }
        RtAudio::StreamParameters outParameters{*sink, 2, 0};
        peer.inputChannels = std::min(2u, in.getDeviceInfo(*monitor).inputChannels);
        RtAudio::StreamParameters inParameters{*monitor, peer.inputChannels, 0};
        unsigned outFrames = settings.period, inFrames = settings.period;
        out.openStream(&outParameters, nullptr, RTAUDIO_FLOAT32, unsigned(rate), &outFrames, &Peer::output,
                       &peer);
        in.openStream(nullptr, &inParameters, RTAUDIO_FLOAT32, unsigned(rate), &inFrames, &Peer::input,
                      &peer);
        peer.timing.emplace(rate, outFrames);
        in.startStream();
        out.startStream();
        started = true;
    } catch (const RtAudioError& error) {
        std::fprintf(stderr, "soak peer: %s\n", error.getMessage().c_str());
    }
    return started;
}

Result finishPeer(Peer& peer, RtAudio& out, RtAudio& in) {
    try {
        out.stopStream();
        in.stopStream();
    } catch (const RtAudioError&) {
    }
    Result result;
    result.outputUnderruns = peer.underruns.load();
    measure(peer.recording, peer.toneStart, peer.toneStart + peer.toneLength, peer.rate, result);
    return result;
}

double environment(const char* name, double fallback) {
    const char* value = std::getenv(name);
    return value ? std::atof(value) : fallback;
}

void soakPulse(benchmark::State& state) {
    PulseServer pulse("soak");
    if (!pulse.whyNot.empty()) {
        state.SkipWithError(("PulseAudio cannot start here: " + pulse.whyNot).c_str());
        return;
    }
    setenv("PULSE_SERVER", pulse.server().c_str(), 1);
    Settings settings;
    settings.seconds = std::max(5.0, environment("SONABEL_SOAK_SECONDS", 60.0));
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
        const std::optional<Result> peerResult = peerRuns ? std::optional<Result>(finishPeer(peer, out, in))
                                                          : Result{}; // not run: nothing recorded
        for (const auto& line : log.lines())
            std::fprintf(stderr, "soak engine: %s\n", line.c_str());
        if (!engine.recorded) {
            state.SkipWithError("nothing was recorded back through the engine");
            break;
        }
        if (!peerResult || !peerResult->recorded) {
            state.SkipWithError("nothing was recorded back through the peer");
            break;
        }
        const Result* peerRun = &*peerResult;
        state.counters["seconds"] = settings.seconds;
        state.counters["busy"] = settings.busy;
        state.counters["engine_breaks"] = engine.breaks;
        state.counters["engine_output_underruns"] = double(engine.outputUnderruns);
        state.counters["engine_capture_underrun_frames"] = double(engine.captureUnderrunFrames);
        state.counters["engine_overrun_frames"] = double(engine.overrunFrames);
        state.counters["engine_dropped_for_latency_frames"] = double(engine.discardedFrames);
        state.counters["engine_latency_start_ms"] = engine.latencyStart * 1e3;
        state.counters["engine_latency_end_ms"] = engine.latencyEnd * 1e3;
        state.counters["peer_breaks"] = peerRun->breaks;
        state.counters["peer_output_underruns"] = double(peerRun->outputUnderruns);
        state.counters["peer_latency_start_ms"] = peerRun->latencyStart * 1e3;
        state.counters["peer_latency_end_ms"] = peerRun->latencyEnd * 1e3;
        // Goals: the engine's breaks at most the peer's + 2; its latency at the end within 12 ms of the
        // start.
        state.counters["breaks_over_peer"] = engine.breaks - peerRun->breaks;
        state.counters["latency_growth_ms"] = (engine.latencyEnd - engine.latencyStart) * 1e3;
    }
    unsetenv("PULSE_SERVER");
}

} // namespace

BENCHMARK(soakPulse)->Unit(benchmark::kSecond)->Iterations(1);
