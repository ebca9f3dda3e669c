// The soak of soak_pulse, on PipeWire through its JACK interface: a minute of its tone in bursts
// played to a null sink "Tone" of a PipeWire server of the benchmark's own, and taken from its
// monitor by two programs at once that play their input to a null sink of their own, with busy
// processes beside them: the engine (its input node into its main mixer, its JACK backend) and, as
// the peer to compare with, a plain libjack client that copies its input ports to its output ports
// each cycle. The player and the recorders of the three monitors are plain libjack clients too, so
// all run in the server's real-time thread at one quantum, which the engine and the peer ask for.
// The same counters as soak_pulse's lines; breaks "of its own" are a program's breaks less those at
// its input. SONABEL_SOAK_SECONDS, SONABEL_SOAK_PERIOD, SONABEL_SOAK_BUSY and SONABEL_SOAK_BUSY_SECONDS
// as there.
#include "bench/JackSoakPrograms.h"
#include "bench/Soak.h"
#include "bench/SoakPrograms.h"
#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioInputNode.h"
#include "platform/audio/AudioMixerNode.h"
#include "platform/audio/AudioOutputNode.h"
#include "platform/audio/AudioRingBuffer.h"
#include "platform/audio/devices/JackDeviceBackend.h"
#include "platform/audio/devices/JackLibrary.h"
#include "platform/core/LogSink.h"
#include "testing/PulseServer.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

namespace {

using pulsetest::PulseServer;
using soakbench::JackPassthrough;
using soakbench::JackRecorder;
using soakbench::JackTonePlayer;
using soakbench::Returned;
using soakbench::RoundTrip;

double environment(const char* name, double fallback) {
    const char* value = std::getenv(name);
    return value ? std::atof(value) : fallback;
}

void soak(benchmark::State& state) {
    PulseServer pipewire("soak-jack", PulseServer::Kind::pipewire);
    if (!pipewire.whyNot.empty()) {
        state.SkipWithError(("PipeWire cannot start here: " + pipewire.whyNot).c_str());
        return;
    }
    if (!pipewire.addSink("sonabel_tone", "Tone") || !pipewire.addSink("sonabel_engine", "Engine") ||
        !pipewire.addSink("sonabel_peer", "Peer") ||
        !pipewire.setDefaults("sonabel_engine", "sonabel_tone.monitor")) {
        state.SkipWithError("the soak's sinks could not be made");
        return;
    }
    setenv("PIPEWIRE_RUNTIME_DIR", pipewire.folder.c_str(), 1);
    const double seconds = std::max(5.0, environment("SONABEL_SOAK_SECONDS", 60.0));
    const auto period = std::uint32_t(std::max(16.0, environment("SONABEL_SOAK_PERIOD", 512)));
    const int busy = std::max(0, int(environment("SONABEL_SOAK_BUSY", 4)));
    std::optional<double> busySeconds;
    if (std::getenv("SONABEL_SOAK_BUSY_SECONDS")) busySeconds = environment("SONABEL_SOAK_BUSY_SECONDS", 0);
    // PipeWire names a sink's client after its description.
    auto jack = platform::JackDeviceBackend::makeIfAvailable(
        {&platform::HostClock::system(), period, "engine", "Tone", nullptr});
    if (!jack) {
        state.SkipWithError("PipeWire's JACK interface lists no device (is pipewire-jack installed?)");
        return;
    }
    for (auto _ : state) {
        platform::ScopedLogCapture log;
        auto engine = platform::AudioEngine::make();
        auto io = jack->makeIO();
        engine->setIOBackend(io);
        std::vector<platform::AudioDeviceID> ids;
        jack->deviceIDs(ids);
        for (const platform::AudioDeviceID id : ids) {
            std::string name;
            if (jack->deviceName(id, name) == noErr && name == "Engine") io->setCurrentDevice(id);
        }
        const double rate = engine->outputNode()->outputFormat(0).sampleRate();
        auto input = engine->inputNode();
        engine->connect(input, engine->mainMixerNode(), input->outputFormat(0));
        std::optional<JackRecorder> atInput, afterEngine, afterPeer;
        std::optional<JackPassthrough> peer;
        std::optional<JackTonePlayer> player;
        std::shared_ptr<platform::AudioRingBuffer> ring;
        try {
            const platform::JackLibrary& library = jack->library();
            atInput.emplace(library, "recorder at the input", "Tone:monitor_FL", seconds);
            afterEngine.emplace(library, "recorder after the engine", "Engine:monitor_FL", seconds);
            afterPeer.emplace(library, "recorder after the peer", "Peer:monitor_FL", seconds);
            engine->start();
            ring = input->captureRing();
            peer.emplace(library, "Tone", "Peer", period);
            player.emplace(library, "Tone", seconds, period);
        } catch (const std::exception& error) { // libjack's refusals, or the engine's AudioError
            state.SkipWithError((std::string("the soak's clients did not start: ") + error.what()).c_str());
            break;
        }
        const double load = soakbench::waitForTheTone(
            seconds, busy, busySeconds, [&] { return player->finished(); },
            {&atInput->recording, &afterEngine->recording, &afterPeer->recording}, rate);
        std::uint32_t quantum = 0;
        io->bufferFrameSize(quantum);
        const std::uint32_t peerQuantum = peer->quantum();
        const std::uint64_t engineUnderruns = engine->outputUnderruns();
        {
            const soakbench::Watchdog watchdog(std::chrono::milliseconds(30000), "stopping the clients",
                                               [&] { pipewire.stop(); });
            engine->stop();
            peer->stop();
            player->stop();
            for (auto* r : {&atInput, &afterEngine, &afterPeer})
                (*r)->stop();
        }
        for (const auto& line : log.lines())
            std::fprintf(stderr, "soak engine: %s\n", line.c_str());

        const auto back = [&](const JackRecorder& r, const std::vector<double>& sent) {
            const std::vector<float> s(r.recording.samples.begin(),
                                       r.recording.samples.begin() +
                                           std::ptrdiff_t(r.recording.count.load()));
            return soakbench::returned(s, r.received, sent, rate);
        };
        const Returned in = back(*atInput, player->sent());
        const Returned engineBack = back(*afterEngine, in.at), peerBack = back(*afterPeer, in.at);
        const double tolerance = double(quantum) / rate;
        const RoundTrip engineTrip = soakbench::roundTrip(in.at, engineBack.at, tolerance);
        const RoundTrip peerTrip = soakbench::roundTrip(in.at, peerBack.at, tolerance);
        if (!engineTrip.measured) {
            state.SkipWithError("nothing was recorded back through the engine");
            break;
        }
        if (!peerTrip.measured) {
            state.SkipWithError("nothing was recorded back through the peer");
            break;
        }
        state.counters["seconds"] = seconds;
        state.counters["busy"] = busy;
        state.counters["host_load"] = load;
        state.counters["period"] = period;
        state.counters["quantum"] = quantum;
        state.counters["peer_period"] = peerQuantum;
        state.counters["input_breaks"] = in.breaks;
        state.counters["bursts"] = double(in.at.size());
        state.counters["input_bursts_back"] = in.bursts();
        state.counters["engine_bursts_back"] = engineBack.bursts();
        state.counters["peer_bursts_back"] = peerBack.bursts();
        state.counters["tone_output_underruns"] = double(player->underruns());
        state.counters["engine_breaks"] = engineBack.breaks;
        state.counters["engine_own_breaks_per_minute"] = (engineBack.breaks - in.breaks) * 60 / seconds;
        state.counters["engine_output_underruns"] = double(engineUnderruns);
        state.counters["engine_capture_underrun_frames"] = double(ring ? ring->underrunFrames() : 0);
        state.counters["engine_overrun_frames"] = double(ring ? ring->overrunFrames() : 0);
        state.counters["engine_dropped_for_latency_frames"] = double(ring ? ring->discardedFrames() : 0);
        state.counters["engine_round_trip_start_ms"] = engineTrip.start * 1e3;
        state.counters["engine_round_trip_end_ms"] = engineTrip.end * 1e3;
        state.counters["engine_round_trip_max_ms"] = engineTrip.max * 1e3;
        state.counters["engine_round_trip_off_s"] = engineTrip.longestOff;
        state.counters["peer_breaks"] = peerBack.breaks;
        state.counters["peer_own_breaks_per_minute"] = (peerBack.breaks - in.breaks) * 60 / seconds;
        state.counters["peer_output_underruns"] = double(peer->underruns());
        state.counters["peer_round_trip_start_ms"] = peerTrip.start * 1e3;
        state.counters["peer_round_trip_end_ms"] = peerTrip.end * 1e3;
        state.counters["peer_round_trip_max_ms"] = peerTrip.max * 1e3;
        state.counters["peer_round_trip_off_s"] = peerTrip.longestOff;
        // Goals: the engine's breaks at most the peer's + 2 (and at most 1 a minute of its own on a
        // quiet machine); its round trip at most the peer's + a quantum + a period.
        state.counters["breaks_over_peer"] = engineBack.breaks - peerBack.breaks;
        state.counters["round_trip_max_over_peer_ms"] = (engineTrip.max - peerTrip.max) * 1e3;
        state.counters["round_trip_goal_ms"] = (tolerance + double(period) / rate) * 1e3;
    }
    unsetenv("PIPEWIRE_RUNTIME_DIR");
}

} // namespace

BENCHMARK(soak)->Name("soak/pipewire_jack")->Unit(benchmark::kSecond)->Iterations(1);
