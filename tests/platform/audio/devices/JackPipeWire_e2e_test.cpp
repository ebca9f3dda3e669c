// The engine as a JACK client of a PipeWire server of the test's own, through PipeWire's JACK library
// (pipewire-jack) opened beside the libjack RtAudio links in: a tone played to the null sink comes back
// through the engine's input from the sink's monitor, and goes on when the server changes its quantum;
// a server that stalls or dies does not hold up the engine's stop. And a plain JACK server (jackd),
// through the system's libjack.
#include "testing/Eventually.h"
#include "testing/PulseServer.h"

#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioInputNode.h"
#include "platform/audio/AudioMixerNode.h"
#include "platform/audio/AudioOutputNode.h"
#include "platform/audio/AudioSourceNode.h"
#include "platform/audio/devices/BoundedStop.h"
#include "platform/audio/devices/JackDeviceBackend.h"
#include "platform/audio/devices/JackLibrary.h"
#include "platform/core/LogSink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <numbers>
#include <thread>

// PipeWire's client library keeps its context for the life of the process, and its threads share
// memory through synchronisation the (uninstrumented) library does not show the race detector.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libpipewire-0.3.so\nleak:libjack.so\nleak:libpulse.so\n";
}
extern "C" const char* __tsan_default_suppressions() {
    return "race:libpipewire-0.3.so\nrace:libjack.so\nrace:libspa\n";
}

using namespace platform;
using pulsetest::PulseServer;

namespace {

constexpr double kFrequency = 1000.0;

// Where a recorded sine leaves x[n] = 2cos(w) x[n-1] - x[n-2]: a gap, a jump, a block played twice.
// Bad samples within 10 ms of each other are one event.
int discontinuities(const std::vector<float>& s, std::size_t from, std::size_t to, double rate) {
    const double k = 2 * std::cos(2 * std::numbers::pi * kFrequency / rate);
    int events = 0;
    std::size_t quietUntil = 0;
    for (std::size_t i = std::max<std::size_t>(from, 2); i < to; ++i)
        if (std::fabs(k * s[i - 1] - s[i - 2] - s[i]) > 0.02) {
            if (i >= quietUntil) ++events;
            quietUntil = i + std::size_t(rate / 100);
        }
    return events;
}

// The level in dB against the tone's and its frequency from the median period between rising zero
// crossings, over [from, to).
std::pair<double, double> levelAndFrequency(const std::vector<float>& s, std::size_t from, std::size_t to,
                                            double rate) {
    double energy = 0, previous = -1;
    std::vector<double> periods;
    for (std::size_t i = from; i < to; ++i) {
        energy += double(s[i]) * s[i];
        if (s[i - 1] < 0 && s[i] >= 0) {
            const double at = double(i - 1) + s[i - 1] / (s[i - 1] - s[i]);
            if (previous >= 0) periods.push_back(at - previous);
            previous = at;
        }
    }
    if (periods.empty()) return {-200, 0};
    std::nth_element(periods.begin(), periods.begin() + std::ptrdiff_t(periods.size() / 2), periods.end());
    return {20 * std::log10(std::sqrt(energy / double(to - from)) / (0.5 / std::sqrt(2.0))),
            rate / periods[periods.size() / 2]};
}

// A client of the test's own on the same server: what the engine's ports are connected to, and the
// server's quantum changed as another program would.
struct Observer {
    const JackLibrary& jack;
    jack_client_t* client = jack.client_open("observer", JackNoStartServer, nullptr);
    ~Observer() {
        if (client) jack.client_close(client);
    }
    std::vector<std::string> connections(const std::string& port) const {
        std::vector<std::string> names;
        jack_port_t* p = jack.port_by_name(client, port.c_str());
        if (const char** list = p ? jack.port_get_all_connections(client, p) : nullptr) {
            for (const char** n = list; *n; ++n)
                names.emplace_back(*n);
            jack.free(list);
        }
        return names;
    }
};

// An engine on the backend that plays the tone and records what its input hears (not played back).
struct TonedEngine {
    std::shared_ptr<AudioEngine> engine = AudioEngine::make();
    std::shared_ptr<AudioInputNode> input = engine->inputNode();
    double rate = 0;
    std::mutex mutex;
    std::vector<float> recorded;

    explicit TonedEngine(JackDeviceBackend& backend) {
        engine->setIOBackend(backend.makeIO());
        rate = engine->outputNode()->outputFormat(0).sampleRate();
        auto tone = AudioSourceNode::make([rate = rate](bool&, const AudioTime& time, std::uint32_t frames,
                                                        float* const* out, std::uint32_t channels) {
            for (std::uint32_t i = 0; i < frames; ++i) {
                const double t = double(time.sampleTime() + std::int64_t(i)) / rate;
                const float v = 0.5f * float(std::sin(2 * std::numbers::pi * kFrequency * t));
                for (std::uint32_t c = 0; c < channels; ++c)
                    out[c][i] = v;
            }
            return noErr;
        });
        engine->attach(tone);
        engine->connect(tone, engine->mainMixerNode(), AudioFormat::standard(rate, 2));
        input->setVolume(0);
        engine->connect(input, engine->mainMixerNode(), input->outputFormat(0));
        input->installTap(0, 1024, std::nullopt, [this](std::shared_ptr<PCMBuffer> buffer, AudioTime) {
            std::lock_guard lock(mutex);
            const float* first = buffer->floatChannelData()[0];
            recorded.insert(recorded.end(), first, first + buffer->frameLength());
        });
    }
    ~TonedEngine() { input->removeTap(0); }
    std::size_t recordedFrames() {
        std::lock_guard lock(mutex);
        return recorded.size();
    }
};

// Whether `work` returns within a second; if not, `release` lets the server go on, and the work is
// waited for.
bool returnsWithinASecond(const std::function<void()>& work, const std::function<void()>& release) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
        work();
        done = true;
    });
    const bool returned = testwait::eventually([&] { return done.load(); }, std::chrono::seconds(1));
    if (!returned) release();
    worker.join();
    return returned;
}

} // namespace

TEST(JackOnPipeWire, ToneToTheNullSinkComesBackThroughTheInputAcrossAQuantumChange) {
    PulseServer pipewire("jack", PulseServer::Kind::pipewire);
    if (!pipewire.whyNot.empty()) GTEST_SKIP() << "PipeWire cannot start here: " << pipewire.whyNot;
    struct Restore {
        ~Restore() { unsetenv("PIPEWIRE_RUNTIME_DIR"); }
    } restore;
    setenv("PIPEWIRE_RUNTIME_DIR", pipewire.folder.c_str(), 1);
    const JackLibrary* library = JackLibrary::find();
    ASSERT_TRUE(library && library->pipewire)
        << "PipeWire's JACK library did not open (is pipewire-jack installed?)";

    auto backend =
        JackDeviceBackend::makeIfAvailable({&HostClock::system(), 512, "sonabel-test", "", nullptr});
    ASSERT_TRUE(backend) << "PipeWire's JACK interface lists no device";
    const AudioDeviceID sink = backend->defaultDevice(false);
    JackDeviceBackend::Device device;
    ASSERT_TRUE(backend->device(sink, device));
    ASSERT_EQ(backend->defaultDevice(true), sink) << "the default source is the null sink's monitor";
    ASSERT_EQ(device.playbackPorts.size(), 2u);
    ASSERT_EQ(device.capturePorts.size(), 2u);
    // A sink that comes after the listing moves every later client; the engine opens by name.
    ASSERT_TRUE(pipewire.addSink("sonabel_other", "Other"));

    TonedEngine toned(*backend);
    auto& engine = toned.engine;
    const double rate = toned.rate;
    ASSERT_EQ(rate, backend->sampleRate());
    const auto recordedFrames = [&] { return toned.recordedFrames(); };
    ASSERT_NO_THROW(engine->start());

    Observer observer{*library};
    ASSERT_TRUE(observer.client);
    const std::string self = "sonabel-test";
    EXPECT_EQ(observer.connections(self + ":out_1"), std::vector<std::string>{device.playbackPorts[0]});
    EXPECT_EQ(observer.connections(self + ":out_2"), std::vector<std::string>{device.playbackPorts[1]});
    EXPECT_EQ(observer.connections(self + ":in_1"), std::vector<std::string>{device.capturePorts[0]});
    EXPECT_EQ(observer.connections(self + ":in_2"), std::vector<std::string>{device.capturePorts[1]});
    // The server's own quantum is 1,024: the engine asked for its period, and runs it.
    std::uint32_t quantum = 0;
    EXPECT_TRUE(testwait::eventually([&] {
        return engine->ioBackend()->bufferFrameSize(quantum), quantum == 512;
    })) << quantum;

    ASSERT_TRUE(testwait::eventually([&] { return recordedFrames() > std::size_t(1.5 * rate); }));
    // Another program asks for a smaller quantum: the graph runs it, the engine follows.
    ASSERT_EQ(library->activate(observer.client), 0);
    ASSERT_EQ(library->set_buffer_size(observer.client, 256), 0);
    ASSERT_TRUE(testwait::eventually([&] {
        return engine->ioBackend()->bufferFrameSize(quantum), quantum == 256;
    })) << quantum;
    const std::size_t changed = recordedFrames();
    ASSERT_TRUE(testwait::eventually([&] { return recordedFrames() > changed + std::size_t(1.5 * rate); }));
    engine->stop();

    std::lock_guard lock(toned.mutex);
    const std::vector<float>& recorded = toned.recorded;
    // Before the change and after it: the tone at its level, nothing lost, repeated or stale in
    // between (a buffer kept from an older cycle or quantum breaks the sine at every cycle). PipeWire
    // itself passes one block of silence of the new quantum at the switch, to a plain client alike.
    const std::size_t second = std::size_t(rate);
    for (const auto& [from, to] :
         {std::pair{changed - second, changed}, std::pair{changed, changed + second}}) {
        const auto [level, frequency] = levelAndFrequency(recorded, from, to, rate);
        EXPECT_NEAR(level, 0.0, 1.0) << "from frame " << from;
        EXPECT_NEAR(frequency, kFrequency, 1.0) << "from frame " << from;
    }
    EXPECT_LE(discontinuities(recorded, changed - second, changed + second, rate), 3);
    EXPECT_LE(std::count(recorded.begin() + std::ptrdiff_t(changed - second),
                         recorded.begin() + std::ptrdiff_t(changed + second), 0.0f),
              512);
}

TEST(JackOnPipeWire, StopAndQuitReturnWithinASecondWhenTheServerStallsOrDies) {
    constexpr const char* kLeft = "The sound server did not stop the audio streams within 300 ms: they are "
                                  "left to stop on their own, and the engine no longer plays through them";
    const struct {
        const char* what;
        int signal;
        bool told; // the close is left to its job
    } cases[] = {{"stalled", SIGSTOP, true}, {"gone", SIGKILL, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PulseServer pipewire("jack-stop", PulseServer::Kind::pipewire);
        if (!pipewire.whyNot.empty()) GTEST_SKIP() << "PipeWire cannot start here: " << pipewire.whyNot;
        struct Restore {
            ~Restore() { unsetenv("PIPEWIRE_RUNTIME_DIR"); }
        } restore;
        setenv("PIPEWIRE_RUNTIME_DIR", pipewire.folder.c_str(), 1);
        JackDeviceBackend::Configuration configuration;
        configuration.clientName = "sonabel-stop";
        configuration.stopTimeout = std::chrono::milliseconds(300);
        std::shared_ptr<JackDeviceBackend> backend; // the sink's ports come a moment after pactl sees it
        ASSERT_TRUE(testwait::eventually(
            [&] { return bool(backend = JackDeviceBackend::makeIfAvailable(configuration)); }));
        ASSERT_TRUE(backend->library().pipewire);
        auto toned = std::make_unique<TonedEngine>(*backend);
        ASSERT_NO_THROW(toned->engine->start());
        ASSERT_TRUE(
            testwait::eventually([&] { return toned->recordedFrames() > std::size_t(toned->rate / 2); }));
        ScopedLogCapture log;
        ASSERT_TRUE(pipewire.signal("pipewire", c.signal));
        const auto resume = [&] { pipewire.signal("pipewire", SIGCONT); };
        EXPECT_TRUE(returnsWithinASecond([&] { toned->engine->stop(); }, resume));
        // The program ends: the engine, its IO and the backend (whose listing client closes) go.
        EXPECT_TRUE(returnsWithinASecond(
            [&] {
                toned.reset();
                backend.reset();
            },
            resume));
        resume(); // what was left to its jobs ends now, and their threads are joined
        EXPECT_TRUE(testwait::eventually([] { return joinEndedStops() == 0; }));
        std::size_t told = 0;
        for (const std::string& line : log.lines())
            told += line == kLeft;
        EXPECT_EQ(told, c.told ? 1u : 0u);
    }
}

TEST(JackOnAPlainServer, ToneComesBackThroughTheInputAndTheEngineStops) {
    // A server of the test's own name; no PipeWire socket where the library looks, so the system's
    // libjack is chosen.
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("sonabel-jackd-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    const std::string server = "sonabel-" + std::to_string(getpid());
    struct Restore {
        std::filesystem::path folder;
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        std::string savedRuntime = runtime ? runtime : "";
        pid_t jackd = -1;
        ~Restore() {
            if (jackd > 0 && kill(jackd, SIGTERM) == 0) waitpid(jackd, nullptr, 0);
            unsetenv("JACK_DEFAULT_SERVER");
            if (runtime)
                setenv("XDG_RUNTIME_DIR", savedRuntime.c_str(), 1);
            else
                unsetenv("XDG_RUNTIME_DIR");
            std::filesystem::remove_all(folder);
        }
    } restore{folder};
    setenv("JACK_DEFAULT_SERVER", server.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
    unsetenv("PIPEWIRE_RUNTIME_DIR");
    unsetenv("PIPEWIRE_REMOTE");
    restore.jackd = pulsetest::spawn({"jackd", "-n", server, "-d", "dummy", "-r", "48000", "-p", "512"}, {},
                                     (folder / "jackd.log").string());
    if (restore.jackd < 0) GTEST_SKIP() << "jackd could not be started (is jackd2 installed?)";
    const JackLibrary* library = JackLibrary::find();
    ASSERT_TRUE(library && !library->pipewire);
    JackDeviceBackend::Configuration configuration;
    configuration.clientName = "sonabel-plain";
    std::shared_ptr<JackDeviceBackend> backend;
    const bool up = testwait::eventually([&] {
        if (waitpid(restore.jackd, nullptr, WNOHANG) == restore.jackd) return restore.jackd = -1, true;
        return bool(backend = JackDeviceBackend::makeIfAvailable(configuration));
    });
    if (!up || !backend) GTEST_SKIP() << "jackd did not come up; see " << (folder / "jackd.log").string();
    JackDeviceBackend::Device system;
    ASSERT_TRUE(backend->device(backend->defaultDevice(false), system));
    EXPECT_EQ(system.name, "system");
    EXPECT_EQ(backend->defaultDevice(true), backend->defaultDevice(false));
    EXPECT_EQ(backend->sampleRate(), 48000);

    TonedEngine toned(*backend);
    ASSERT_NO_THROW(toned.engine->start());
    // The dummy driver's capture is silence: a client of the test's own wires the engine's output to
    // its input by name, beside the capture ports the engine connected.
    Observer observer{*library};
    ASSERT_TRUE(observer.client);
    EXPECT_EQ(observer.connections("sonabel-plain:out_1"), std::vector<std::string>{"system:playback_1"});
    EXPECT_EQ(observer.connections("sonabel-plain:in_1"), std::vector<std::string>{"system:capture_1"});
    ASSERT_EQ(library->connect(observer.client, "sonabel-plain:out_1", "sonabel-plain:in_1"), 0);
    std::uint32_t quantum = 0;
    EXPECT_EQ((toned.engine->ioBackend()->bufferFrameSize(quantum), quantum), 512u);
    const std::size_t wired = toned.recordedFrames();
    ASSERT_TRUE(testwait::eventually([&] { return toned.recordedFrames() > wired + 2 * 48000; }));
    EXPECT_TRUE(returnsWithinASecond([&] { toned.engine->stop(); }, [] {}));

    std::lock_guard lock(toned.mutex);
    // The second after the wiring settled: the tone at its level, nothing lost or repeated.
    const std::size_t from = wired + 48000 / 2, to = from + 48000;
    const auto [level, frequency] = levelAndFrequency(toned.recorded, from, to, 48000);
    EXPECT_NEAR(level, 0.0, 1.0);
    EXPECT_NEAR(frequency, kFrequency, 1.0);
    EXPECT_EQ(discontinuities(toned.recorded, from, to, 48000), 0);
}
