// A minute of a tone in bursts (each sweeping a band of its own), played to a sound server of the
// benchmark's own (a null sink, "Tone") and taken from its monitor by two programs at once that
// play their input to their output, each to a null sink of its own, with busy processes beside
// them: the engine (its input node into its main mixer) and, as the peer to compare with, a plain
// RtAudio program that does the same with the same period and server buffers. Recorders take the
// tone from the monitors of the three sinks. Once on PulseAudio, once on PipeWire (its PulseAudio
// service, with its session manager). Reports for each program the output underruns, the breaks
// found in the tone recorded after its output, and the round trip of the first and the last burst:
// from when the burst reached the monitor the programs read to when it reached the monitor of the
// program's sink, both as recorders of one kind saw it on the host clock; also the longest the
// round trip stayed more than a period away from the first; for the engine also the capture ring's
// losses and trims. SONABEL_SOAK_SECONDS shortens or lengthens the minute; SONABEL_SOAK_PERIOD sets
// the period (512); SONABEL_SOAK_BUSY sets the busy processes (4); with SONABEL_SOAK_BUSY_SECONDS
// they run that long from four seconds in, else the whole run. SONABEL_SOAK_RAISE_PULSE_THREADS=1
// gives the PulseAudio client library's threads of every stream the real-time priority the engine's
// callback asks for.
#include "bench/Soak.h"
#include "bench/SoakPrograms.h"
#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioInputNode.h"
#include "platform/audio/AudioMixerNode.h"
#include "platform/audio/AudioOutputNode.h"
#include "platform/audio/AudioRingBuffer.h"
#include "platform/audio/devices/RtAudioDeviceBackend.h"
#include "platform/core/LogSink.h"
#include "testing/PulseServer.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;
using pulsetest::PulseServer;
using soakbench::PassthroughPeer;
using soakbench::Recorder;
using soakbench::Returned;
using soakbench::RoundTrip;
using soakbench::StreamAsk;
using soakbench::TonePlayer;

struct Settings {
    double seconds = 60;
    int busy = 4;
    std::optional<double> busySeconds;
    unsigned period = 512;
};

// The engine playing its input: the tone sink's monitor is its default input, its own sink its
// default output.
struct EngineRun {
    std::shared_ptr<platform::AudioEngine> engine = platform::AudioEngine::make();
    std::shared_ptr<platform::AudioIOBackend> io;
    std::shared_ptr<platform::AudioRingBuffer> ring;
    double rate = 0;

    // False when its input runs at another rate than its output.
    bool prepare(platform::RtAudioDeviceBackend& rt) {
        io = rt.makeIO();
        engine->setIOBackend(io);
        rate = engine->outputNode()->outputFormat(0).sampleRate();
        auto input = engine->inputNode();
        if (input->outputFormat(0).sampleRate() != rate) return false;
        engine->connect(input, engine->mainMixerNode(), input->outputFormat(0));
        return true;
    }
    void start() {
        engine->start();
        ring = engine->inputNode()->captureRing();
    }
};

double environment(const char* name, double fallback) {
    const char* value = std::getenv(name);
    return value ? std::atof(value) : fallback;
}

// RtAudio lists a PulseAudio monitor as a device of its own, PipeWire's as the sink's input.
std::vector<std::string> monitorNames(const std::string& sink) {
    return {"Monitor of " + sink, sink};
}

void soak(benchmark::State& state, PulseServer::Kind kind) {
    PulseServer pulse("soak", kind);
    const char* serverName = kind == PulseServer::Kind::pipewire ? "PipeWire" : "PulseAudio";
    if (!pulse.whyNot.empty()) {
        state.SkipWithError((std::string(serverName) + " cannot start here: " + pulse.whyNot).c_str());
        return;
    }
    if (!pulse.addSink("sonabel_tone", "Tone") || !pulse.addSink("sonabel_engine", "Engine") ||
        !pulse.addSink("sonabel_peer", "Peer") ||
        !pulse.setDefaults("sonabel_engine", "sonabel_tone.monitor")) {
        state.SkipWithError("the soak's sinks could not be made");
        return;
    }
    setenv("PULSE_SERVER", pulse.server().c_str(), 1);
    Settings settings;
    settings.seconds = std::max(5.0, environment("SONABEL_SOAK_SECONDS", 60.0));
    settings.period = unsigned(std::max(16.0, environment("SONABEL_SOAK_PERIOD", 512)));
    settings.busy = std::max(0, int(environment("SONABEL_SOAK_BUSY", 4)));
    if (std::getenv("SONABEL_SOAK_BUSY_SECONDS"))
        settings.busySeconds = environment("SONABEL_SOAK_BUSY_SECONDS", 0);
    auto configuration = platform::RtAudioDeviceBackend::Configuration::fromEnvironment();
    configuration.bufferFrameSize = settings.period;
    configuration.api = platform::RtAudioDeviceBackend::Api::pulse;
    auto rt = platform::RtAudioDeviceBackend::makeIfAvailable(configuration);
    if (!rt) {
        state.SkipWithError("RtAudio lists no PulseAudio device");
        return;
    }
    const StreamAsk peerAsk = StreamAsk::as(rt->streamOptions());
    // The tone's player keeps plenty queued, so that its own hiccups are rare; the recorders run
    // first.
    const StreamAsk playerAsk{0, true, 1}, recorderAsk{0, true, 1};
    // Every stream's PulseAudio client thread too, the engine's, the peer's and the soak's own alike.
    const bool raisePulseThreads = environment("SONABEL_SOAK_RAISE_PULSE_THREADS", 0) != 0;
    for (auto _ : state) {
        platform::ScopedLogCapture log;
        int raised = 0;
        EngineRun run;
        if (!run.prepare(*rt)) {
            state.SkipWithError("the engine's input runs at another rate than its output");
            break;
        }
        TonePlayer player(RtAudio::LINUX_PULSE);
        Recorder atInput(RtAudio::LINUX_PULSE), afterEngine(RtAudio::LINUX_PULSE),
            afterPeer(RtAudio::LINUX_PULSE);
        PassthroughPeer peer(RtAudio::LINUX_PULSE);
        try {
            RtAudio& list = player.rt();
            const std::vector<unsigned> devices =
                soakbench::waitForDevices(list,
                                          {{{"Tone"}, false},
                                           {monitorNames("Tone"), true},
                                           {monitorNames("Engine"), true},
                                           {{"Peer"}, false},
                                           {monitorNames("Peer"), true}},
                                          Clock::now() + std::chrono::seconds(5));
            if (devices.empty()) {
                state.SkipWithError("RtAudio does not list the soak's sinks and monitors");
                break;
            }
            const unsigned tone = devices[0], toneMonitor = devices[1], engineMonitor = devices[2],
                           peerSink = devices[3], peerMonitor = devices[4];
            const unsigned period = settings.period;
            const unsigned monitorChannels = std::min(2u, list.getDeviceInfo(toneMonitor).inputChannels);
            atInput.open(toneMonitor, 1, run.rate, period, recorderAsk, settings.seconds);
            afterEngine.open(engineMonitor, 1, run.rate, period, recorderAsk, settings.seconds);
            afterPeer.open(peerMonitor, 1, run.rate, period, recorderAsk, settings.seconds);
            player.open(tone, 2, run.rate, period, playerAsk, settings.seconds);
            peer.open(peerSink, toneMonitor, monitorChannels, run.rate, period, peerAsk);
            for (Recorder* r : {&atInput, &afterEngine, &afterPeer})
                r->start();
            run.start();
            peer.start();
            player.start();
            if (raisePulseThreads)
                raised = soakbench::raiseThreads("threaded-ml",
                                                 std::max(1, peerAsk.realtime ? peerAsk.priority : 0));
        } catch (const std::exception& error) { // RtAudio's, or the engine's AudioError
            state.SkipWithError((std::string("the soak's streams did not open: ") + error.what()).c_str());
            break;
        }
        const double load = soakbench::waitForTheTone(
            settings.seconds, settings.busy, settings.busySeconds, [&] { return player.finished(); },
            {&atInput.recording, &afterEngine.recording, &afterPeer.recording}, run.rate);
        unsigned period = 0;
        run.io->bufferFrameSize(period);
        const std::uint64_t engineUnderruns = run.engine->outputUnderruns();
        {
            const soakbench::Watchdog watchdog(std::chrono::milliseconds(30000), "stopping the streams",
                                               [&] { pulse.stop(); });
            run.engine->stop();
            peer.stop();
            player.stop();
            for (Recorder* r : {&atInput, &afterEngine, &afterPeer})
                r->stop();
        }
        for (const auto& line : log.lines())
            std::fprintf(stderr, "soak engine: %s\n", line.c_str());

        const auto back = [&](const Recorder& r, const std::vector<double>& sent) {
            const std::vector<float> s(r.recording.samples.begin(),
                                       r.recording.samples.begin() +
                                           std::ptrdiff_t(r.recording.count.load()));
            return soakbench::returned(s, r.received, sent, run.rate);
        };
        const Returned input = back(atInput, player.sent());
        const Returned engine = back(afterEngine, input.at), peerBack = back(afterPeer, input.at);
        const double tolerance = double(period) / run.rate;
        const RoundTrip engineTrip = soakbench::roundTrip(input.at, engine.at, tolerance);
        const RoundTrip peerTrip = soakbench::roundTrip(input.at, peerBack.at, tolerance);
        if (!engineTrip.measured) {
            state.SkipWithError("nothing was recorded back through the engine");
            break;
        }
        if (!peerTrip.measured) {
            state.SkipWithError("nothing was recorded back through the peer");
            break;
        }
        state.counters["seconds"] = settings.seconds;
        state.counters["busy"] = settings.busy;
        state.counters["host_load"] = load;
        state.counters["period"] = period;
        state.counters["buffers"] = peerAsk.buffers;
        state.counters["realtime"] = peerAsk.realtime;
        state.counters["raised_pulse_threads"] = raised;
        state.counters["peer_period"] = peer.period();
        state.counters["input_breaks"] = input.breaks;
        state.counters["bursts"] = double(input.at.size());
        state.counters["input_bursts_back"] = input.bursts();
        state.counters["engine_bursts_back"] = engine.bursts();
        state.counters["peer_bursts_back"] = peerBack.bursts();
        state.counters["tone_output_underruns"] = double(player.underruns());
        state.counters["engine_breaks"] = engine.breaks;
        state.counters["engine_output_underruns"] = double(engineUnderruns);
        state.counters["engine_capture_underrun_frames"] = double(run.ring ? run.ring->underrunFrames() : 0);
        state.counters["engine_overrun_frames"] = double(run.ring ? run.ring->overrunFrames() : 0);
        state.counters["engine_dropped_for_latency_frames"] =
            double(run.ring ? run.ring->discardedFrames() : 0);
        state.counters["engine_round_trip_start_ms"] = engineTrip.start * 1e3;
        state.counters["engine_round_trip_end_ms"] = engineTrip.end * 1e3;
        state.counters["engine_round_trip_max_ms"] = engineTrip.max * 1e3;
        state.counters["engine_round_trip_off_s"] = engineTrip.longestOff;
        state.counters["peer_breaks"] = peerBack.breaks;
        state.counters["peer_output_underruns"] = double(peer.underruns());
        state.counters["peer_short_frames"] = double(peer.ring() ? peer.ring()->shortFrames() : 0);
        state.counters["peer_dropped_frames"] = double(peer.ring() ? peer.ring()->droppedFrames() : 0);
        state.counters["peer_round_trip_start_ms"] = peerTrip.start * 1e3;
        state.counters["peer_round_trip_end_ms"] = peerTrip.end * 1e3;
        state.counters["peer_round_trip_max_ms"] = peerTrip.max * 1e3;
        state.counters["peer_round_trip_off_s"] = peerTrip.longestOff;
        // Goals: the engine's breaks at most the peer's + 2; its round trip at most the peer's + a
        // period, at the start and at the end; its end within 12 ms of its start.
        state.counters["breaks_over_peer"] = engine.breaks - peerBack.breaks;
        state.counters["round_trip_start_over_peer_periods"] =
            (engineTrip.start - peerTrip.start) / tolerance;
        state.counters["round_trip_end_over_peer_periods"] = (engineTrip.end - peerTrip.end) / tolerance;
        state.counters["round_trip_end_over_start_ms"] = (engineTrip.end - engineTrip.start) * 1e3;
    }
    unsetenv("PULSE_SERVER");
}

} // namespace

BENCHMARK_CAPTURE(soak, pulseaudio, PulseServer::Kind::pulseaudio)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK_CAPTURE(soak, pipewire, PulseServer::Kind::pipewire)->Unit(benchmark::kSecond)->Iterations(1);
