// A minute of a 1 kHz tone played to a PulseAudio server of the benchmark's own (a null sink) and
// recorded back from the sink's monitor through the input node, with four busy processes beside it.
// Reports the capture's underruns and overruns, the discontinuities found in the recorded sine, and
// the round-trip latency at the start (where the tone begins) and at the end (where it stops).
// SONABEL_SOAK_SECONDS shortens or lengthens the minute.
#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioInputNode.h"
#include "platform/audio/AudioMixerNode.h"
#include "platform/audio/AudioOutputNode.h"
#include "platform/audio/AudioRingBuffer.h"
#include "platform/audio/AudioSourceNode.h"
#include "platform/audio/devices/RtAudioDeviceBackend.h"
#include "platform/core/LogSink.h"
#include "testing/PulseServer.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <numbers>
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

struct Recording {
    std::vector<float> samples; // reserved before recording: appends never move it
    std::atomic<std::size_t> count{0};
    std::int64_t firstSampleTime = -1; // the engine's sample time of samples[0]
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

void soakPulse(benchmark::State& state) {
    PulseServer pulse("soak");
    if (!pulse.whyNot.empty()) {
        state.SkipWithError(("PulseAudio cannot start here: " + pulse.whyNot).c_str());
        return;
    }
    setenv("PULSE_SERVER", pulse.server().c_str(), 1);
    auto rt = platform::RtAudioDeviceBackend::makeIfAvailable(
        {&platform::HostClock::system(), 512, platform::RtAudioDeviceBackend::Api::pulse});
    if (!rt) {
        state.SkipWithError("RtAudio lists no PulseAudio device");
        return;
    }
    const char* configured = std::getenv("SONABEL_SOAK_SECONDS");
    const double seconds = configured ? std::max(5.0, std::atof(configured)) : 60.0;
    for (auto _ : state) {
        platform::ScopedLogCapture log;
        auto engine = platform::AudioEngine::make();
        engine->setIOBackend(rt->makeIO());
        const double rate = engine->outputNode()->outputFormat(0).sampleRate();
        const auto toneStart = std::int64_t(0.5 * rate);
        const auto toneEnd = toneStart + std::int64_t(seconds * rate);
        auto tone = platform::AudioSourceNode::make([&](bool&, const platform::AudioTime& time,
                                                        std::uint32_t frames, float* const* out,
                                                        std::uint32_t channels) {
            for (std::uint32_t i = 0; i < frames; ++i) {
                const std::int64_t t = time.sampleTime() + i;
                const float v =
                    t >= toneStart && t < toneEnd
                        ? 0.5f * float(std::sin(2 * std::numbers::pi * 1000.0 * double(t - toneStart) / rate))
                        : 0.0f;
                for (std::uint32_t c = 0; c < channels; ++c)
                    out[c][i] = v;
            }
            return noErr;
        });
        const auto format = *platform::AudioFormat::standard(rate, 2);
        engine->attach(tone);
        engine->connect(tone, engine->mainMixerNode(), format);
        auto input = engine->inputNode();
        if (input->outputFormat(0).sampleRate() != rate) {
            state.SkipWithError("the monitor runs at another rate than the sink");
            return;
        }
        input->setVolume(0);
        engine->connect(input, engine->mainMixerNode(), input->outputFormat(0));
        Recording recording;
        recording.samples.reserve(std::size_t((seconds + 30) * rate));
        input->installTap(
            0, 1024, std::nullopt,
            [&](std::shared_ptr<platform::PCMBuffer> buffer, platform::AudioTime when) {
                if (recording.firstSampleTime < 0) recording.firstSampleTime = when.sampleTime();
                const float* s = buffer->floatChannelData()[0];
                const std::size_t room = recording.samples.capacity() - recording.samples.size();
                recording.samples.insert(recording.samples.end(), s,
                                         s + std::min<std::size_t>(room, buffer->frameLength()));
                recording.count.store(recording.samples.size(), std::memory_order_release);
            },
            platform::AudioNode::TapKind::recorder);
        BusyProcesses busy(4);
        engine->start();
        const auto ring = input->captureRing();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        // On until the tone's end has come back: half a second of silence after it, at most 20 s more.
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        std::size_t lastLoud = 0, scanned = 0;
        while (Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            const std::size_t count = recording.count.load(std::memory_order_acquire);
            for (; scanned < count; ++scanned)
                if (std::fabs(recording.samples[scanned]) > 0.05f) lastLoud = scanned;
            if (lastLoud > 0 && count - lastLoud > std::size_t(rate / 2) &&
                recording.firstSampleTime + std::int64_t(count) > toneEnd)
                break;
        }
        const std::uint64_t underruns = ring ? ring->underrunFrames() : 0;
        const std::uint64_t overruns = ring ? ring->overrunFrames() : 0;
        const std::uint64_t discarded = ring ? ring->discardedFrames() : 0;
        engine->stop();

        const auto& s = recording.samples;
        const std::int64_t onset = edge(s, false), offset = edge(s, true);
        if (onset < 0 || offset <= onset) {
            state.SkipWithError("nothing was recorded back");
            return;
        }
        // The tone's first and last samples, as the engine's sample times the input saw them at.
        const double startLatency = double(recording.firstSampleTime + onset - toneStart) / rate;
        const double endLatency = double(recording.firstSampleTime + offset + 1 - toneEnd) / rate;
        const auto margin = std::int64_t(0.01 * rate);
        state.counters["seconds"] = seconds;
        state.counters["underrun_frames"] = double(underruns);
        state.counters["overrun_frames"] = double(overruns);
        state.counters["dropped_for_latency_frames"] = double(discarded);
        state.counters["discontinuities"] = discontinuities(s, onset + margin, offset - margin, 1000.0, rate);
        state.counters["latency_start_ms"] = startLatency * 1e3;
        state.counters["latency_end_ms"] = endLatency * 1e3;
        for (const auto& line : log.lines())
            std::fprintf(stderr, "soak: %s\n", line.c_str());
    }
    unsetenv("PULSE_SERVER");
}

} // namespace

BENCHMARK(soakPulse)->Unit(benchmark::kSecond)->Iterations(1);
