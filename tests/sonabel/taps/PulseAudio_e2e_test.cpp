// Plays a tone into a PulseAudio null sink and records the sink's monitor through the engine's
// input node: a real sound server, no hardware, PulseAudio and PipeWire's PulseAudio service. The test
// runs its own server in a temporary folder.
#include "TapTestSupport.h"
#include "testing/Eventually.h"
#include "testing/PulseServer.h"

#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioInputNode.h"
#include "platform/audio/AudioMixerNode.h"
#include "platform/audio/AudioRingBuffer.h"
#include "platform/audio/AudioSourceNode.h"
#include "platform/audio/devices/RtAudioDeviceBackend.h"
#include "platform/core/BundleInfo.h"
#include "sonabel/nodes/mixing/Mixer.h"
#include "sonabel/taps/MultiChannelInputNodeTap.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <numbers>
#include <signal.h>
#include <sys/wait.h>
#include <thread>

// The PulseAudio client library keeps a few blocks for the life of the process, and its threads
// share memory through synchronisation the (uninstrumented) library does not show the race detector.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libpulse.so\n";
}
extern "C" const char* __tsan_default_suppressions() {
    return "race:libpulse\n";
}

using namespace sonabel;
using namespace taptest;
using pulsetest::PulseServer;

class PulseAudio : public testing::TestWithParam<PulseServer::Kind> {};
INSTANTIATE_TEST_SUITE_P(Servers, PulseAudio,
                         testing::Values(PulseServer::Kind::pulseaudio, PulseServer::Kind::pipewire),
                         [](const auto& info) {
                             return info.param == PulseServer::Kind::pipewire ? "PipeWire" : "PulseAudio";
                         });

// An engine on the device whose source, half a second in, takes 400 ms over one cycle: far longer
// than the server holds. `rendered` follows the source's sample time.
std::shared_ptr<platform::AudioEngine> stallingEngine(platform::RtAudioDeviceBackend& rt,
                                                      std::atomic<bool>& stalled,
                                                      std::atomic<std::int64_t>& rendered) {
    auto engine = platform::AudioEngine::make();
    engine->setIOBackend(rt.makeIO());
    auto source = platform::AudioSourceNode::make(
        [&](bool&, const platform::AudioTime& time, std::uint32_t, float* const*, std::uint32_t) {
            rendered.store(time.sampleTime(), std::memory_order_relaxed);
            if (time.sampleTime() > 22050 && !stalled.exchange(true))
                std::this_thread::sleep_for(std::chrono::milliseconds(400));
            return noErr;
        });
    engine->attach(source);
    engine->connect(source, engine->mainMixerNode(), std::nullopt);
    return engine;
}

TEST_P(PulseAudio, ToneToTheNullSinkIsRecordedFromItsMonitor) {
    PulseServer pulse("pulse", GetParam());
    if (!pulse.whyNot.empty()) GTEST_SKIP() << "the server cannot start here: " << pulse.whyNot;
    // What the test changes for the process, put back however it ends.
    struct Restore {
        std::shared_ptr<platform::AudioDeviceBackend> previous;
        ~Restore() {
            if (previous) platform::AudioDeviceBackend::setCurrent(previous);
            platform::BundleInfo::main().setValue("NSMicrophoneUsageDescription", std::nullopt);
            unsetenv("PULSE_SERVER");
            Settings::setAudioFormat(Settings::defaultAudioFormat());
        }
    } restore;
    setenv("PULSE_SERVER", pulse.server().c_str(), 1);
    auto rt = platform::RtAudioDeviceBackend::makeIfAvailable(
        {&platform::HostClock::system(), 1024, platform::RtAudioDeviceBackend::Api::pulse});
    if (!rt) GTEST_SKIP() << "RtAudio lists no PulseAudio device";
    restore.previous = platform::AudioDeviceBackend::setCurrent(rt);
    platform::BundleInfo::main().setValue("NSMicrophoneUsageDescription", "Recording the monitor");
    const std::filesystem::path takes = pulse.folder / "takes";
    std::filesystem::create_directories(takes);
    double rate = 0;
    {
        AudioEngine engine;
        auto input = engine.input();
        ASSERT_TRUE(input);
        rate = Settings::sampleRate();
        ASSERT_GT(rate, 0);
        auto tone = std::make_shared<Source>([rate](std::uint32_t, std::int64_t frame) {
            return 0.5f * float(std::sin(2 * std::numbers::pi * 1000.0 * double(frame) / rate));
        });
        input->setVolume(0); // recorded, not played back
        engine.setOutput(std::make_shared<Mixer>(std::vector<std::shared_ptr<Node>>{tone, input}));
        auto tap = std::make_shared<MultiChannelInputNodeTap>(engine.avEngine()->inputNode());
        tap->setDirectory(takes.string());
        tap->configure(std::vector<std::int32_t>{0});
        ASSERT_NO_THROW(engine.start());
        tap->record();
        const auto deadline = std::chrono::steady_clock::now() + testwait::kDeadline;
        while (tap->files()[0]->totalFramesWritten() < std::int64_t(3.2 * rate) &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        tap->stop();
        engine.stop();
        tap->setRecordEnabled(false);
    }
    const auto take = readAll((takes / "Audio 1 #1.wav").string())[0];
    ASSERT_GE(take.size(), std::size_t(3 * rate));
    // One second from 1 s in: the level as RMS, the frequency from the median period between rising
    // zero crossings (a period lost to a busy machine does not move the median).
    const std::size_t from = std::size_t(rate), to = std::size_t(2 * rate);
    double energy = 0, previous = -1;
    std::vector<double> periods;
    for (std::size_t i = from; i < to; ++i) {
        energy += double(take[i]) * take[i];
        if (take[i - 1] < 0 && take[i] >= 0) {
            const double at = double(i - 1) + take[i - 1] / (take[i - 1] - take[i]);
            if (previous >= 0) periods.push_back(at - previous);
            previous = at;
        }
    }
    ASSERT_GT(periods.size(), 100u);
    std::nth_element(periods.begin(), periods.begin() + periods.size() / 2, periods.end());
    const double frequency = rate / periods[periods.size() / 2];
    const double rmsDb = 20 * std::log10(std::sqrt(energy / double(to - from)) / (0.5 / std::sqrt(2.0)));
    EXPECT_NEAR(frequency, 1000.0, 1.0);
    EXPECT_NEAR(rmsDb, 0.0, 1.0);
}

TEST_P(PulseAudio, AStalledRenderingThreadIsCountedAsAnOutputUnderrunAndLogged) {
    PulseServer pulse("pulse", GetParam());
    if (!pulse.whyNot.empty()) GTEST_SKIP() << "the server cannot start here: " << pulse.whyNot;
    struct Restore {
        ~Restore() { unsetenv("PULSE_SERVER"); }
    } restore;
    setenv("PULSE_SERVER", pulse.server().c_str(), 1);
    auto rt = platform::RtAudioDeviceBackend::makeIfAvailable(
        {&platform::HostClock::system(), 512, platform::RtAudioDeviceBackend::Api::pulse});
    if (!rt) GTEST_SKIP() << "RtAudio lists no PulseAudio device";
    std::atomic<bool> stalled{false};
    std::atomic<std::int64_t> rendered{0};
    auto engine = stallingEngine(*rt, stalled, rendered);
    platform::ScopedLogCapture capture;
    ASSERT_NO_THROW(engine->start());
    const auto logged = [&] {
        for (const auto& entry : capture.entries())
            if (entry.text.rfind("Audio output: ", 0) == 0) return true;
        return false;
    };
    EXPECT_TRUE(testwait::eventually([&] { return stalled.load() && logged(); }));
    EXPECT_GE(engine->outputUnderruns(), 1u);
    engine->stop();
}

TEST_P(PulseAudio, InputThatPiledUpWhileTheOutputStalledIsNotKeptAsLatency) {
    PulseServer pulse("pulse", GetParam());
    if (!pulse.whyNot.empty()) GTEST_SKIP() << "the server cannot start here: " << pulse.whyNot;
    struct Restore {
        ~Restore() { unsetenv("PULSE_SERVER"); }
    } restore;
    setenv("PULSE_SERVER", pulse.server().c_str(), 1);
    // A server buffer as deep as the stall is long: the output's refill takes the whole pile.
    auto rt = platform::RtAudioDeviceBackend::makeIfAvailable(
        {&platform::HostClock::system(), 512, platform::RtAudioDeviceBackend::Api::pulse, 16});
    if (!rt) GTEST_SKIP() << "RtAudio lists no PulseAudio device";
    // The stall comes while the input stream goes on.
    std::atomic<bool> stalled{false};
    std::atomic<std::int64_t> rendered{0};
    auto engine = stallingEngine(*rt, stalled, rendered);
    auto input = engine->inputNode();
    input->setVolume(0);
    engine->connect(input, engine->mainMixerNode(), input->outputFormat(0));
    ASSERT_NO_THROW(engine->start());
    auto ring = input->captureRing();
    ASSERT_TRUE(ring);
    ASSERT_TRUE(testwait::eventually([&] { return stalled.load() && engine->outputUnderruns() >= 1; }));
    const std::uint64_t silence = ring->underrunFrames(), overruns = ring->overrunFrames();
    const std::uint64_t underruns = engine->outputUnderruns();
    const std::int64_t stallEnd = rendered.load(std::memory_order_relaxed);
    // The refill takes the backlog at once; the ring's own give-back, half a second later at most.
    const bool refilled =
        testwait::eventually([&] { return ring->available() < 4096; }, std::chrono::seconds(5));
    // A machine too busy for the server starves it again and again, and the input callback comes
    // late: each such loss piles input up anew, and what stays then is the ring's to give back, not
    // the refill's. The refill's claim is judged where the stall was the only loss.
    if (engine->outputUnderruns() == underruns && ring->overrunFrames() == overruns &&
        ring->underrunFrames() == silence) {
        EXPECT_TRUE(refilled) << "the backlog of the stall stayed as latency: " << ring->available()
                              << " frames";
    }
    // The output refilled the server's buffer at once, reading input as fast: what it read was the
    // backlog, not silence. Had the backlog gone, the refill would read the stall's length of it
    // (17,640 frames at 44.1 kHz); a late input callback on a busy machine reads far less.
    ASSERT_TRUE(
        testwait::eventually([&] { return rendered.load(std::memory_order_relaxed) > stallEnd + 44100; }));
    EXPECT_LT(ring->underrunFrames() - silence, 8820u);
    engine->stop();
}

TEST_P(PulseAudio, StoppingReturnsWithinASecondWhileTheSinkIsSuspended) {
    PulseServer pulse("pulse", GetParam());
    if (!pulse.whyNot.empty()) GTEST_SKIP() << "the server cannot start here: " << pulse.whyNot;
    struct Restore {
        ~Restore() { unsetenv("PULSE_SERVER"); }
    } restore;
    setenv("PULSE_SERVER", pulse.server().c_str(), 1);
    platform::RtAudioDeviceBackend::Configuration configuration;
    configuration.api = platform::RtAudioDeviceBackend::Api::pulse;
    configuration.stopTimeout = std::chrono::milliseconds(300);
    auto rt = platform::RtAudioDeviceBackend::makeIfAvailable(configuration);
    if (!rt) GTEST_SKIP() << "RtAudio lists no PulseAudio device";
    std::atomic<bool> stalled{true};
    std::atomic<std::int64_t> rendered{0};
    auto engine = stallingEngine(*rt, stalled, rendered);
    platform::ScopedLogCapture capture;
    ASSERT_NO_THROW(engine->start());
    ASSERT_TRUE(testwait::eventually([&] { return rendered.load() > 4410; }));
    ASSERT_TRUE(pulse.suspendSink("sonabel_null", true));
    // On PulseAudio the stream's thread waits for room in the suspended sink, and rendering stops
    // (PipeWire's service goes on taking frames).
    std::int64_t seen = -1;
    const bool waiting = testwait::eventually(
        [&] {
            const std::int64_t now = rendered.load();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            return std::exchange(seen, now) == now;
        },
        std::chrono::seconds(2));
    std::atomic<bool> stopped{false};
    const auto began = std::chrono::steady_clock::now();
    std::thread stopping([&] {
        engine->stop();
        stopped = true;
    });
    const bool returned = testwait::eventually([&] { return stopped.load(); }, std::chrono::seconds(1));
    const auto took = std::chrono::steady_clock::now() - began;
    pulse.suspendSink("sonabel_null", false); // a stop still waiting can end now
    stopping.join();
    EXPECT_TRUE(returned) << "the stop took "
                          << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
    if (waiting) {
        std::size_t told = 0;
        for (const auto& entry : capture.entries())
            told += entry.text ==
                    "The sound server did not stop the audio streams within 300 ms: they are left to "
                    "stop on their own, and the engine no longer plays through them";
        EXPECT_EQ(told, 1u);
    }
}
