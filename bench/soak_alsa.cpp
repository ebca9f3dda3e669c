// The soak on plain ALSA, in the kernel tests' guest (scripts/run-in-guest) on its loopback card: a
// minute of a tone in bursts (each sweeping a band of its own), played to the card's first device,
// whose second device is the default input; a program plays its input to the default output, on the
// first device again, and a recorder takes it from the second. First the engine (its input node
// into its main mixer), then a plain RtAudio program doing the same with the same period and
// buffers in streams of the same shape (an input and an output stream), each with busy processes
// beside it. The player and the recorder time each frame by where the card's pointer is
// (snd_pcm_delay), so the round trip is the program's own: from the burst's start in its input to
// its start in its output. Reports, for each program and period, as the PulseAudio soak does.
// SONABEL_SOAK_SECONDS, SONABEL_SOAK_BUSY as there; the periods are 256, 1,024 and 8,192 frames.
#include "bench/Soak.h"
#include "bench/SoakPrograms.h"
#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioInputNode.h"
#include "platform/audio/AudioMixerNode.h"
#include "platform/audio/AudioOutputNode.h"
#include "platform/audio/AudioRingBuffer.h"
#include "platform/audio/devices/RtAudioDeviceBackend.h"
#include "platform/core/LogSink.h"

#include <alsa/asoundlib.h>
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <pthread.h>
#include <sstream>

namespace {

using soakbench::Recording;
using soakbench::Returned;
using soakbench::RoundTrip;
using soakbench::Stamps;
using soakbench::StreamAsk;

constexpr double kRate = 48000;
constexpr unsigned kChannels = 2;
// The program's streams: its input hears the tone's device, its output goes to the recorder's.
constexpr const char* kToneDevice = "plughw:Loopback,0,0";
constexpr const char* kRecorderDevice = "plughw:Loopback,1,1";
constexpr const char* kAsoundrc = "pcm.!default { type asym playback.pcm \"plughw:Loopback,0,1\" "
                                  "capture.pcm \"plughw:Loopback,1,0\" }\n";

double environment(const char* name, double fallback) {
    const char* value = std::getenv(name);
    return value ? std::atof(value) : fallback;
}

std::uint64_t now() {
    return platform::HostClock::system().now();
}

// A loopback device opened for the player or the recorder, at the period and buffer the card allows
// beside the program's stream on the other end of the cable (it matches them to that).
struct Pcm {
    snd_pcm_t* pcm = nullptr;
    snd_pcm_uframes_t period = 0;
    std::string error;

    Pcm(const char* name, snd_pcm_stream_t direction, snd_pcm_uframes_t frames, unsigned buffers) {
        int e = snd_pcm_open(&pcm, name, direction, 0);
        snd_pcm_hw_params_t* hw = nullptr;
        snd_pcm_hw_params_alloca(&hw);
        unsigned rate = unsigned(kRate);
        snd_pcm_uframes_t buffer = frames * buffers;
        if (e >= 0) e = snd_pcm_hw_params_any(pcm, hw);
        if (e >= 0) e = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED);
        if (e >= 0) e = snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_FLOAT_LE);
        if (e >= 0) e = snd_pcm_hw_params_set_channels(pcm, hw, kChannels);
        if (e >= 0) e = snd_pcm_hw_params_set_rate_near(pcm, hw, &rate, nullptr);
        if (e >= 0) e = snd_pcm_hw_params_set_period_size_near(pcm, hw, &frames, nullptr);
        if (e >= 0) e = snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &buffer);
        if (e >= 0) e = snd_pcm_hw_params(pcm, hw);
        if (e >= 0 && rate != unsigned(kRate)) e = -EINVAL;
        period = frames;
        if (e < 0) error = std::string(name) + ": " + snd_strerror(e);
    }
    ~Pcm() {
        if (pcm) snd_pcm_close(pcm);
    }
};

void runFirst() {
    sched_param param{};
    param.sched_priority = 20;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param); // as it can: refused, it runs as others do
}

// Plays the tone; stamps each block with when its first frame reaches the cable.
class AlsaTone {
public:
    AlsaTone(snd_pcm_uframes_t period, unsigned buffers, double seconds)
        : pcm_(kToneDevice, SND_PCM_STREAM_PLAYBACK, period, buffers) {
        toneStart_ = std::int64_t(0.5 * kRate);
        toneLength_ =
            std::int64_t(std::floor(seconds / soakbench::kBurstSeconds) * soakbench::kBurstSeconds * kRate);
        passed_.at.resize(std::size_t((seconds + 30) * kRate / 16));
    }
    ~AlsaTone() { stop(); }
    const std::string& error() const { return pcm_.error; }

    void start() {
        thread_ = std::thread([this] {
            runFirst();
            std::vector<float> block(pcm_.period * kChannels);
            std::int64_t played = 0;
            while (!stopping_.load()) {
                for (snd_pcm_uframes_t i = 0; i < pcm_.period; ++i)
                    block[i * kChannels] = block[i * kChannels + 1] =
                        soakbench::tone(played + std::int64_t(i), toneStart_, toneLength_, kRate);
                snd_pcm_sframes_t n = snd_pcm_writei(pcm_.pcm, block.data(), pcm_.period);
                if (n == -EPIPE) {
                    underruns_.fetch_add(1);
                    snd_pcm_prepare(pcm_.pcm);
                    n = snd_pcm_writei(pcm_.pcm, block.data(), pcm_.period);
                }
                if (n < 0) break;
                snd_pcm_sframes_t delay = 0;
                if (snd_pcm_delay(pcm_.pcm, &delay) == 0)
                    passed_.add(played, now() + std::uint64_t(double(delay - n) / kRate * 1e9));
                played += n;
                played_.store(played);
            }
        });
    }
    void stop() {
        stopping_.store(true);
        if (thread_.joinable()) thread_.join();
        snd_pcm_drop(pcm_.pcm);
    }
    std::vector<double> sent() const {
        std::vector<double> at;
        const auto burst = std::int64_t(soakbench::kBurstSeconds * kRate);
        for (std::int64_t first = toneStart_; first < toneStart_ + toneLength_; first += burst)
            at.push_back(passed_.seconds(first, kRate));
        return at;
    }
    bool finished() const { return played_.load() > toneStart_ + toneLength_; }
    std::uint64_t underruns() const { return underruns_.load(); }

private:
    Pcm pcm_;
    std::int64_t toneStart_ = 0, toneLength_ = 0;
    Stamps passed_;
    std::atomic<std::int64_t> played_{0};
    std::atomic<std::uint64_t> underruns_{0};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// Records the program's output; stamps each block with when its first frame left the cable.
class AlsaRecorder {
public:
    AlsaRecorder(snd_pcm_uframes_t period, unsigned buffers, double seconds)
        : pcm_(kRecorderDevice, SND_PCM_STREAM_CAPTURE, period, buffers) {
        recording.samples.assign(std::size_t((seconds + 30) * kRate), 0.0f);
        received.at.resize(std::size_t((seconds + 30) * kRate / 16));
    }
    ~AlsaRecorder() { stop(); }
    const std::string& error() const { return pcm_.error; }

    void start() {
        snd_pcm_start(pcm_.pcm);
        thread_ = std::thread([this] {
            runFirst();
            std::vector<float> block(pcm_.period * kChannels);
            while (!stopping_.load()) {
                snd_pcm_sframes_t n = snd_pcm_readi(pcm_.pcm, block.data(), pcm_.period);
                if (n == -EPIPE) {
                    overruns_.fetch_add(1);
                    snd_pcm_prepare(pcm_.pcm);
                    snd_pcm_start(pcm_.pcm);
                    continue;
                }
                if (n < 0) break;
                snd_pcm_sframes_t delay = 0;
                const std::uint64_t at = now();
                if (snd_pcm_delay(pcm_.pcm, &delay) == 0)
                    received.add(std::int64_t(recording.count.load()),
                                 at - std::uint64_t(double(delay + n) / kRate * 1e9));
                recording.append(block.data(), std::size_t(n), kChannels);
            }
        });
    }
    void stop() {
        stopping_.store(true);
        if (thread_.joinable()) thread_.join();
        snd_pcm_drop(pcm_.pcm);
    }
    std::uint64_t overruns() const { return overruns_.load(); }

    Recording recording;
    Stamps received;

private:
    Pcm pcm_;
    std::atomic<std::uint64_t> overruns_{0};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// The tone through a program that is already playing its input: the tone's start and the
// recording's, its breaks and its round trip.
struct Through {
    Returned back;
    RoundTrip trip;
    std::uint64_t toneUnderruns = 0, recorderOverruns = 0;
    double load = 0;
    std::string error;
};

Through through(snd_pcm_uframes_t period, unsigned buffers, double seconds, int busy) {
    Through result;
    AlsaRecorder recorder(period, buffers, seconds);
    AlsaTone tone(period, buffers, seconds);
    if (!recorder.error().empty() || !tone.error().empty()) {
        result.error = recorder.error().empty() ? tone.error() : recorder.error();
        return result;
    }
    recorder.start();
    tone.start();
    result.load = soakbench::waitForTheTone(
        seconds, busy, std::nullopt, [&] { return tone.finished(); }, {&recorder.recording}, kRate);
    tone.stop();
    recorder.stop();
    result.toneUnderruns = tone.underruns();
    result.recorderOverruns = recorder.overruns();
    const std::vector<float> s(recorder.recording.samples.begin(),
                               recorder.recording.samples.begin() +
                                   std::ptrdiff_t(recorder.recording.count.load()));
    const std::vector<double> sent = tone.sent();
    result.back = soakbench::returned(s, recorder.received, sent, kRate);
    result.trip = soakbench::roundTrip(sent, result.back.at, double(period) / kRate);
    return result;
}

// A run where no burst came back has no round trip: it says so, and leaves those counters out.
void report(benchmark::State& state, const std::string& who, const Through& run) {
    state.counters[who + "_breaks"] = run.back.breaks;
    if (run.trip.measured) {
        state.counters[who + "_round_trip_start_ms"] = run.trip.start * 1e3;
        state.counters[who + "_round_trip_end_ms"] = run.trip.end * 1e3;
        state.counters[who + "_round_trip_max_ms"] = run.trip.max * 1e3;
        state.counters[who + "_round_trip_off_s"] = run.trip.longestOff;
    } else {
        std::fprintf(stderr, "soak: no burst came back through the %s: no round trip\n", who.c_str());
    }
    state.counters["bursts"] = double(run.back.at.size());
    state.counters[who + "_bursts_back"] = run.back.bursts();
    state.counters[who + "_recorder_overruns"] = double(run.recorderOverruns);
    state.counters[who + "_host_load"] = run.load;
    state.counters[who + "_tone_underruns"] = double(run.toneUnderruns);
}

bool hasLoopbackCard() {
    std::ifstream cards("/proc/asound/cards");
    std::stringstream text;
    text << cards.rdbuf();
    return text.str().find("Loopback") != std::string::npos;
}

void soak(benchmark::State& state, unsigned requested) {
    if (!hasLoopbackCard()) {
        state.SkipWithError("no loopback sound card (snd-aloop): run it in scripts/run-in-guest");
        return;
    }
    // ALSA reads the user's configuration from $HOME once, when it is first opened: before RtAudio.
    static const bool configured = [] {
        const auto home =
            std::filesystem::temp_directory_path() / ("sonabel-soak-alsa-" + std::to_string(getpid()));
        std::filesystem::create_directories(home);
        std::ofstream(home / ".asoundrc") << kAsoundrc;
        return setenv("HOME", home.c_str(), 1) == 0;
    }();
    if (!configured) {
        state.SkipWithError("the soak's ALSA configuration could not be written");
        return;
    }
    const double seconds = std::max(5.0, environment("SONABEL_SOAK_SECONDS", 60.0));
    const int busy = std::max(0, int(environment("SONABEL_SOAK_BUSY", 4)));
    auto configuration = platform::RtAudioDeviceBackend::Configuration::fromEnvironment();
    configuration.bufferFrameSize = requested;
    configuration.api = platform::RtAudioDeviceBackend::Api::alsa;
    auto backend = platform::RtAudioDeviceBackend::makeIfAvailable(configuration);
    if (!backend || backend->defaultDevice(false) != backend->defaultDevice(true)) {
        state.SkipWithError("ALSA's default device is not one device with input and output");
        return;
    }
    platform::RtAudioDeviceBackend::Device device;
    backend->device(backend->defaultDevice(false), device);
    const StreamAsk peerAsk = StreamAsk::as(backend->streamOptions());
    const unsigned buffers = std::max(2u, peerAsk.buffers); // the loopback card matches the player's
    for (auto _ : state) {
        Through engineRun, peerRun;
        unsigned period = 0;
        {
            platform::ScopedLogCapture log;
            auto engine = platform::AudioEngine::make();
            auto io = backend->makeIO();
            engine->setIOBackend(io);
            auto input = engine->inputNode();
            engine->connect(input, engine->mainMixerNode(), input->outputFormat(0));
            try {
                engine->start();
            } catch (const std::exception& error) {
                state.SkipWithError((std::string("the engine did not start: ") + error.what()).c_str());
                break;
            }
            io->bufferFrameSize(period);
            engineRun = through(period, buffers, seconds, busy);
            state.counters["engine_output_underruns"] = double(engine->outputUnderruns());
            engine->stop();
            for (const auto& line : log.lines())
                std::fprintf(stderr, "soak engine: %s\n", line.c_str());
        }
        {
            soakbench::PassthroughPeer peer(RtAudio::LINUX_ALSA);
            try {
                peer.open(device.index, device.index, std::min(2u, device.inputChannels), kRate, requested,
                          peerAsk);
                peer.start();
            } catch (const RtAudioError& error) {
                state.SkipWithError(("the peer did not start: " + error.getMessage()).c_str());
                break;
            }
            peerRun = through(peer.period(), buffers, seconds, busy);
            state.counters["peer_output_underruns"] = double(peer.underruns());
            state.counters["peer_period"] = peer.period();
        }
        if (!engineRun.error.empty() || !peerRun.error.empty()) {
            state.SkipWithError(
                ("the loopback card did not open: " + engineRun.error + peerRun.error).c_str());
            break;
        }
        state.counters["seconds"] = seconds;
        state.counters["busy"] = busy;
        state.counters["period"] = period;
        state.counters["buffers"] = peerAsk.buffers;
        state.counters["realtime"] = peerAsk.realtime;
        report(state, "engine", engineRun);
        report(state, "peer", peerRun);
        state.counters["breaks_over_peer"] = engineRun.back.breaks - peerRun.back.breaks;
        if (engineRun.trip.measured && peerRun.trip.measured) {
            state.counters["round_trip_start_over_peer_periods"] =
                (engineRun.trip.start - peerRun.trip.start) * kRate / double(period);
            state.counters["round_trip_end_over_peer_periods"] =
                (engineRun.trip.end - peerRun.trip.end) * kRate / double(period);
        }
    }
}

} // namespace

BENCHMARK_CAPTURE(soak, alsa_256, 256u)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK_CAPTURE(soak, alsa_1024, 1024u)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK_CAPTURE(soak, alsa_8192, 8192u)->Unit(benchmark::kSecond)->Iterations(1);
