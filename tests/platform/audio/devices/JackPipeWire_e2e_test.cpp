// The engine as a JACK client of a PipeWire server of the test's own, through PipeWire's JACK library
// (pipewire-jack) opened beside the libjack RtAudio links in: a tone played to the null sink comes back
// through the engine's input from the sink's monitor, and goes on when the server changes its quantum.
#include "testing/Eventually.h"
#include "testing/PulseServer.h"

#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioInputNode.h"
#include "platform/audio/AudioMixerNode.h"
#include "platform/audio/AudioOutputNode.h"
#include "platform/audio/AudioSourceNode.h"
#include "platform/audio/devices/JackDeviceBackend.h"
#include "platform/audio/devices/JackLibrary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
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

    auto engine = AudioEngine::make();
    engine->setIOBackend(backend->makeIO());
    const double rate = engine->outputNode()->outputFormat(0).sampleRate();
    ASSERT_EQ(rate, backend->sampleRate());
    auto tone = AudioSourceNode::make([rate](bool&, const AudioTime& time, std::uint32_t frames,
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
    auto input = engine->inputNode();
    input->setVolume(0); // recorded, not played back
    engine->connect(input, engine->mainMixerNode(), input->outputFormat(0));
    std::mutex mutex;
    std::vector<float> recorded;
    ASSERT_TRUE(input->installTap(0, 1024, std::nullopt, [&](std::shared_ptr<PCMBuffer> buffer, AudioTime) {
        std::lock_guard lock(mutex);
        const float* first = buffer->floatChannelData()[0];
        recorded.insert(recorded.end(), first, first + buffer->frameLength());
    }));
    const auto recordedFrames = [&] {
        std::lock_guard lock(mutex);
        return recorded.size();
    };
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
    input->removeTap(0);

    std::lock_guard lock(mutex);
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
