// The RtAudio backend against a fake RtAudio: what it asks the server for, and how the latency it
// keeps follows the streams' hiccups.
#include "platform/audio/AudioInputNode.h"
#include "platform/audio/AudioMixerNode.h"
#include "platform/audio/AudioOutputNode.h"
#include "platform/audio/AudioRingBuffer.h"
#include "platform/audio/devices/FakeRtAudioDriver.h"
#include "platform/audio/devices/RtAudioDeviceBackend.h"
#include "platform/core/LogSink.h"
#include "sonabel/internals/settings/Settings.h"
#include "testing/Eventually.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>

using namespace platform;

namespace {

using Api = RtAudioDeviceBackend::Api;

constexpr const char* kRefused = "Real-time scheduling for the audio callback was refused (priority 10): it "
                                 "runs at normal priority, and other programs' load can break the sound";

struct Rig {
    std::shared_ptr<FakeRtAudioDriver> driver = std::make_shared<FakeRtAudioDriver>();
    ManualClock clock;
    std::shared_ptr<RtAudioDeviceBackend> backend;
    std::shared_ptr<AudioEngine> engine = AudioEngine::make();

    // One duplex device, or an output and an input device.
    Rig(Api api, bool oneDevice, RtAudioDeviceBackend::Configuration configuration = {}) {
        if (oneDevice) {
            driver->addDevice("Duplex", 2, 2);
        } else {
            driver->addDevice("Speakers", 0, 2);
            driver->addDevice("Microphone", 2, 0);
        }
        configuration.clock = &clock;
        configuration.api = api;
        configuration.driver = driver;
        backend = RtAudioDeviceBackend::makeIfAvailable(configuration);
    }
    // The input plays through the main mixer to the output.
    void start(float inputVolume = 0) {
        engine->setIOBackend(backend->makeIO());
        auto input = engine->inputNode();
        input->setVolume(inputVolume);
        engine->connect(input, engine->mainMixerNode(), input->outputFormat(0));
        engine->start();
    }
};

unsigned flagsOf(const FakeRtAudioDriver::Opened& opened) {
    return unsigned(opened.options.flags);
}

} // namespace

TEST(RtAudioDeviceBackend, StreamsAskTheServerForFewBuffersAtTheConfiguredPeriodAndTellWhatWasGranted) {
    struct Case {
        const char* name;
        Api api;
        bool oneDevice;
        std::uint32_t period, buffers;
        std::optional<unsigned> granted;
        std::size_t streams; // a duplex stream, or an output and an input stream
    };
    const Case cases[] = {
        {"ALSA, one device: never duplex", Api::alsa, true, 512, 2, std::nullopt, 2},
        {"ALSA, two devices", Api::alsa, false, 512, 2, std::nullopt, 2},
        {"PulseAudio, one device: never duplex", Api::pulse, true, 512, 2, std::nullopt, 2},
        {"JACK, one device: duplex", Api::jack, true, 512, 2, std::nullopt, 1},
        {"more buffering asked", Api::pulse, false, 256, 6, std::nullopt, 2},
        {"the device grants another period", Api::jack, true, 512, 3, 1024u, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RtAudioDeviceBackend::Configuration configuration;
        configuration.bufferFrameSize = c.period;
        configuration.numberOfBuffers = c.buffers;
        Rig s(c.api, c.oneDevice, configuration);
        ASSERT_TRUE(s.backend);
        s.driver->grantFrames(c.granted);
        ScopedLogCapture log;
        s.start();
        const auto opened = s.driver->opened();
        ASSERT_EQ(opened.size(), c.streams);
        for (const auto& stream : opened) {
            EXPECT_EQ(stream.framesAsked, c.period);
            EXPECT_EQ(stream.options.numberOfBuffers, c.buffers);
            EXPECT_EQ(flagsOf(stream), unsigned(RTAUDIO_SCHEDULE_REALTIME));
            EXPECT_EQ(stream.options.priority, 10);
            EXPECT_EQ(stream.sampleRate, 44100u);
            EXPECT_TRUE(stream.started);
        }
        EXPECT_TRUE(opened[0].output.has_value());
        EXPECT_EQ(opened[0].input.has_value(), c.streams == 1);
        const unsigned period = c.granted.value_or(c.period);
        EXPECT_DOUBLE_EQ(sonabel::Settings::getIOBufferDuration(*s.engine), period / 44100.0);
        EXPECT_TRUE(log.lines().empty());
        s.engine->stop();
        for (const auto& stream : s.driver->opened())
            EXPECT_TRUE(stream.closed);
    }
}

TEST(RtAudioDeviceBackend, TheCaptureRingFollowsTheLongerPeriodOfTwoStreams) {
    struct Case {
        const char* name;
        std::optional<unsigned> output, input; // granted; else the 512 asked
        std::uint32_t prefill, capacity;
    };
    const Case cases[] = {
        {"as asked", std::nullopt, std::nullopt, 1024, 16384},
        {"the input's longer", std::nullopt, 2048u, 4096, 32768},
        {"the output's longer", 2048u, 256u, 4096, 32768},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig s(Api::pulse, false);
        ASSERT_TRUE(s.backend);
        s.driver->grantFrames(c.output, c.input);
        s.start();
        auto ring = s.engine->inputNode()->captureRing();
        ASSERT_TRUE(ring);
        EXPECT_EQ(ring->prefill(), c.prefill);
        EXPECT_EQ(ring->capacity(), c.capacity);
        EXPECT_DOUBLE_EQ(sonabel::Settings::getIOBufferDuration(*s.engine), c.output.value_or(512) / 44100.0);
    }
}

TEST(RtAudioDeviceBackend, RealTimeSchedulingIsAskedWhereGrantedAndARefusalIsLoggedOnce) {
    struct Case {
        const char* name;
        Api api;
        int priority;
        bool granted;
        unsigned flags;
        int queries; // over two starts
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"granted", Api::alsa, 10, true, unsigned(RTAUDIO_SCHEDULE_REALTIME), 2, {}},
        {"refused", Api::alsa, 10, false, 0, 2, {kRefused}},
        {"not asked", Api::alsa, 0, false, 0, 0, {}},
        // The driver raises the client library's threads of the stream with its callback: a fake
        // shows the request, the PulseAudio tests what the threads got.
        {"granted on PulseAudio", Api::pulse, 10, true, unsigned(RTAUDIO_SCHEDULE_REALTIME), 2, {}},
        {"refused on PulseAudio", Api::pulse, 10, false, 0, 2, {kRefused}},
        {"not asked on PulseAudio", Api::pulse, 0, true, 0, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RtAudioDeviceBackend::Configuration configuration;
        configuration.realtimePriority = c.priority;
        Rig s(c.api, false, configuration);
        ASSERT_TRUE(s.backend);
        s.driver->setRealtimeGranted(c.granted);
        ScopedLogCapture log;
        s.start();
        s.engine->stop();
        s.engine->start(); // the same backend: told once
        s.engine->stop();
        const auto opened = s.driver->opened();
        ASSERT_EQ(opened.size(), 4u);
        for (const auto& stream : opened) {
            EXPECT_EQ(flagsOf(stream), c.flags);
            EXPECT_EQ(stream.options.priority, c.flags ? c.priority : 0);
        }
        EXPECT_EQ(s.driver->realtimeQueries(), c.queries);
        EXPECT_EQ(log.lines().size(), c.lines.size());
        const auto entries = log.entries();
        for (std::size_t i = 0; i < std::min(entries.size(), c.lines.size()); ++i) {
            EXPECT_EQ(entries[i].text, c.lines[i]);
            EXPECT_EQ(entries[i].level, LogLevel::defaultLevel);
        }
    }
}

TEST(RtAudioDeviceBackend, TheEnvironmentAsksForMoreBuffersAndABadValueIsToldAndIgnored) {
    struct Case {
        const char* value; // null: unset
        std::uint32_t buffers;
        bool told;
    };
    const Case cases[] = {{nullptr, 2, false}, {"3", 3, false}, {"16", 16, false}, {"2", 2, false},
                          {"1", 2, true},      {"17", 2, true}, {"four", 2, true}, {"4 ", 2, true},
                          {"", 2, true},       {"-3", 2, true}};
    const char* before = std::getenv("SONABEL_AUDIO_BUFFERS");
    const std::optional<std::string> saved = before ? std::optional<std::string>(before) : std::nullopt;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "(unset)");
        if (c.value)
            setenv("SONABEL_AUDIO_BUFFERS", c.value, 1);
        else
            unsetenv("SONABEL_AUDIO_BUFFERS");
        ScopedLogCapture log;
        const auto configuration = RtAudioDeviceBackend::Configuration::fromEnvironment();
        EXPECT_EQ(configuration.numberOfBuffers, c.buffers);
        if (c.told) {
            ASSERT_EQ(log.lines().size(), 1u);
            EXPECT_EQ(log.entries()[0].text,
                      "SONABEL_AUDIO_BUFFERS=\"" + std::string(c.value) +
                          "\" is not a number of buffers from 2 to 16: the streams keep 2");
            EXPECT_EQ(log.entries()[0].level, LogLevel::error);
        } else {
            EXPECT_TRUE(log.lines().empty());
        }
    }
    if (saved)
        setenv("SONABEL_AUDIO_BUFFERS", saved->c_str(), 1);
    else
        unsetenv("SONABEL_AUDIO_BUFFERS");
}

TEST(RtAudioDeviceBackend, AFailedOpenClosesWhatWasOpenedAndSaysWhy) {
    Rig s(Api::alsa, true);
    ASSERT_TRUE(s.backend);
    s.driver->failOpen("no such device");
    s.engine->setIOBackend(s.backend->makeIO());
    try {
        s.engine->start();
        FAIL() << "started";
    } catch (const std::exception& error) {
        EXPECT_NE(std::string(error.what()).find("no such device"), std::string::npos) << error.what();
    }
    s.driver->failOpen(std::nullopt);
    s.engine->start();
    ASSERT_EQ(s.driver->opened().size(), 1u);
    EXPECT_TRUE(s.driver->opened()[0].started);
}

TEST(RtAudioDeviceBackend, AStopTheServerNeverLetsFinishReturnsAndItsCallbacksNoLongerReachTheEngine) {
    constexpr const char* kLeft =
        "The sound server did not stop the audio streams within 100 ms: they are left "
        "to stop on their own, and the engine no longer plays through them";
    enum class Action { stop, changeDevice, quit };
    struct Case {
        const char* name;
        Action action;
        std::size_t streamsAfter; // the new device's
    };
    const Case cases[] = {
        {"the engine stops", Action::stop, 0},
        {"the device changes", Action::changeDevice, 2},
        {"the program ends: the engine and its IO go", Action::quit, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RtAudioDeviceBackend::Configuration configuration;
        configuration.stopTimeout = std::chrono::milliseconds(100);
        auto s = std::make_unique<Rig>(Api::pulse, false, configuration);
        s->driver->addDevice("Headphones", 0, 2);
        ASSERT_TRUE(s->backend);
        auto io = s->backend->makeIO();
        s->engine->setIOBackend(io);
        auto input = s->engine->inputNode();
        s->engine->connect(input, s->engine->mainMixerNode(), input->outputFormat(0));
        s->engine->start();
        ASSERT_EQ(s->driver->opened().size(), 2u);
        ScopedLogCapture log;
        s->driver->holdStops(true);
        const auto began = std::chrono::steady_clock::now();
        switch (c.action) {
        case Action::stop:
            s->engine->stop();
            break;
        case Action::changeDevice: {
            std::vector<AudioDeviceID> ids;
            s->backend->deviceIDs(ids);
            EXPECT_EQ(io->setCurrentDevice(ids.back()), noErr);
            break;
        }
        case Action::quit:
            break;
        }
        const std::shared_ptr<FakeRtAudioDriver> driver = s->driver;
        if (c.action != Action::changeDevice) {
            io.reset();
            s.reset();
        }
        EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(1));
        EXPECT_EQ(log.lines(), std::vector<std::string>{kLeft});
        auto opened = driver->opened();
        ASSERT_EQ(opened.size(), 2 + c.streamsAfter);
        for (std::size_t i = 2; i < opened.size(); ++i)
            EXPECT_TRUE(opened[i].started && !opened[i].closed);
        // The streams left behind still call back, into silence: the engine (gone, where the program
        // ended) is not reached.
        std::vector<float> in(2 * 512, 0.5f), out(2 * 512, 1.0f);
        EXPECT_EQ(driver->run(0, 512, nullptr, out.data()), 0);
        EXPECT_EQ(driver->run(1, 512, in.data(), nullptr), 0);
        EXPECT_EQ(out, std::vector<float>(2 * 512, 0.0f));
        driver->holdStops(false);
        EXPECT_TRUE(
            testwait::eventually([&] { return driver->opened()[0].closed && driver->opened()[1].closed; }));
        if (s) s->engine->stop();
    }
}

namespace {

// An output and an input stream of the fake, run period by period on the manual clock. The input
// carries its own frame numbers, so quiet that the ring may trim it anywhere; the output plays at the
// rate from its start, and from the callback after each time it ran dry. The latency is from when
// a frame was captured to when it is played.
struct TwoStreams {
    static constexpr unsigned kPeriod = 512;
    static constexpr double kRate = 44100;
    static constexpr float kScale = 1.0f / float(1 << 30); // frame n + 1 as a sample below -60 dBFS
    Rig s{Api::pulse, false};
    std::vector<std::uint64_t> captured; // per input period: its callback's time
    double playAt = -1;                  // seconds, of the next frame handed over
    std::vector<std::int64_t> latencies; // per output period: frames, of its first frame that plays input
    std::vector<float> in = std::vector<float>(2 * kPeriod), out = std::vector<float>(2 * kPeriod);

    TwoStreams() {
        s.start(1.0f);
        // The server takes its two buffers at once.
        output();
        output();
    }
    double now() const { return double(s.clock.now()) * 1e-9; }
    // Captured `ago` periods before the callback hands it over.
    void input(int ago = 0) {
        const std::int64_t first = std::int64_t(captured.size()) * kPeriod;
        for (unsigned i = 0; i < kPeriod; ++i)
            in[2 * i] = in[2 * i + 1] = float(first + i + 1) * kScale;
        captured.push_back(s.clock.now() - std::uint64_t(ago * kPeriod / kRate * 1e9));
        ASSERT_EQ(s.driver->run(1, kPeriod, in.data(), nullptr), 0);
    }
    void output() {
        ASSERT_EQ(s.driver->run(0, kPeriod, nullptr, out.data()), 0);
        if (playAt < now()) playAt = now(); // ran dry: plays from now on
        std::int64_t latency = -1;
        for (unsigned i = 0; i < kPeriod && latency < 0; ++i)
            if (out[2 * i] != 0.0f) {
                const auto frame = std::size_t(std::lround(out[2 * i] / kScale) - 1);
                const double capturedAt =
                    double(captured.at(frame / kPeriod)) * 1e-9 - double(kPeriod - frame % kPeriod) / kRate;
                latency = std::lround((playAt + i / kRate - capturedAt) * kRate);
            }
        latencies.push_back(latency);
        playAt += kPeriod / kRate;
    }
    void tick() { s.clock.advance(std::uint64_t(kPeriod / kRate * 1e9)); }
    // Periods in step: the input's callback, then the output's.
    void run(double seconds) {
        for (int i = 0; i < int(seconds * kRate / kPeriod); ++i) {
            tick();
            input();
            output();
        }
    }
};

} // namespace

TEST(RtAudioDeviceBackend, AfterAHiccupOfEitherStreamTheLatencyGrowsByWhatWasMissingAndComesBackAfterQuiet) {
    struct Case {
        const char* name;
        bool outputStalls;      // else the input stalls, and then hands over its backlog at once
        std::vector<double> at; // seconds in
        std::uint64_t outputUnderruns;
    };
    // The first hiccup comes a moment after a quiet stretch began (5 s after the first frames
    // played): what the hiccups leave is given back at its end, or after one of its own.
    const Case cases[] = {
        {"the output stalls", true, {5.3}, 1},
        {"the input stalls", false, {5.3}, 0},
        {"the output stalls every two seconds", true, {5.3, 7.3, 9.3}, 3},
    };
    constexpr int kStall = 10; // periods
    constexpr double kCheckAt = 10.9;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedLogCapture log;
        TwoStreams t;
        double now = 0;
        std::int64_t start = 0;
        for (const double at : c.at) {
            t.run(at - now);
            if (start == 0) {
                start = t.latencies.back();
                ASSERT_GT(start, 0);
                for (std::size_t i = 10; i < t.latencies.size(); ++i)
                    ASSERT_EQ(t.latencies[i], start) << "period " << i;
            }
            for (int i = 0; i < kStall; ++i) {
                t.tick();
                if (c.outputStalls) t.input();
                if (!c.outputStalls) t.output();
            }
            if (c.outputStalls) {
                // The server played silence meanwhile; the stream's buffers are filled again at once.
                t.output();
                t.output();
            } else {
                for (int i = 0; i < kStall; ++i)
                    t.input(kStall - 1 - i);
            }
            t.run(0.1);
            // What was missing is kept: every frame the input handed over is played, once.
            EXPECT_GE(t.latencies.back(), start + (kStall - 2) * std::int64_t(TwoStreams::kPeriod));
            now = at + 0.1 + kStall * TwoStreams::kPeriod / TwoStreams::kRate;
        }
        EXPECT_EQ(t.s.engine->outputUnderruns(), c.outputUnderruns);
        // Given back by the end of the quiet stretch, to within a period of the start.
        t.run(kCheckAt - now);
        const std::int64_t end = t.latencies.back();
        EXPECT_LE(std::abs(end - start), std::int64_t(TwoStreams::kPeriod))
            << "start " << start << ", end " << end;
        EXPECT_EQ(t.s.engine->outputUnderruns(), c.outputUnderruns);
    }
}
