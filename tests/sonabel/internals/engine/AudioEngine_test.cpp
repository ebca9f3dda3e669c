#include "EngineTestSupport.h"

#include "platform/audio/AudioError.h"
#include "platform/audio/AudioInputNode.h"
#include "platform/audio/AudioOutputNode.h"
#include "platform/core/BundleInfo.h"
#include "sonabel/internals/engine/AudioEngine.h"

#include <cmath>
#include <limits>

using namespace sonabel;
using namespace enginetest;

namespace {

class AudioEngineTest : public EngineTest {};

std::vector<std::shared_ptr<Node>> nodes(std::initializer_list<std::shared_ptr<Node>> list) {
    return list;
}

} // namespace

TEST_F(AudioEngineTest, OutputAssignmentKeepsOneMainMixer) {
    AudioEngine engine;
    EXPECT_EQ(engine.graphDescription(), "Sonabel | mainMixerNode is nil");
    auto a = std::make_shared<Tone>(), b = std::make_shared<Tone>();

    engine.setOutput(a);
    auto mixer = engine.mainMixerNode();
    ASSERT_TRUE(mixer);
    EXPECT_EQ(mixer->name(), "Sonabel Engine Mixer");
    EXPECT_EQ(mixer->inputs(), nodes({a}));
    EXPECT_EQ(engine.graphDescription(), "Sonabel | ↳Mixer(\"Sonabel Engine Mixer\")\nSonabel |  ↳Tone");
    const auto output = engine.avEngine()->outputNode();
    auto feed = engine.avEngine()->inputConnectionPoint(output, 0);
    ASSERT_TRUE(feed);
    EXPECT_EQ(feed->node, mixer->avAudioNode());
    EXPECT_EQ(output->inputFormat(0), Settings::audioFormat());
    EXPECT_FALSE(engine.avEngine()->isRunning()); // assigning does not start

    engine.setOutput(b);
    EXPECT_EQ(engine.mainMixerNode(), mixer);
    EXPECT_EQ(mixer->inputs(), nodes({b}));
    EXPECT_EQ(a->node->engine(), nullptr);
    EXPECT_EQ(b->node->engine(), engine.avEngine());

    engine.setOutput(nullptr);
    EXPECT_EQ(engine.mainMixerNode(), mixer);
    EXPECT_TRUE(mixer->inputs().empty());
    EXPECT_EQ(b->node->engine(), nullptr);
}

TEST_F(AudioEngineTest, SampleRateChangeReplacesMainMixer) {
    platform::ScopedLogCapture capture;
    AudioEngine engine;
    engine.setOutput(std::make_shared<Tone>());
    auto first = engine.mainMixerNode();
    Settings::setSampleRate(48000);
    auto b = std::make_shared<Tone>();
    engine.setOutput(b);
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_TRUE(isLogLine(capture.lines()[0], "AudioEngine.cpp", "output",
                          "Sample Rate has changed, creating new mainMixerNode at 48000.0"));
    ASSERT_NE(engine.mainMixerNode(), first);
    EXPECT_EQ(first->avAudioNode()->engine(), nullptr);
    EXPECT_TRUE(first->inputs().empty());
    EXPECT_EQ(engine.mainMixerNode()->avAudioNode()->outputFormat(0).sampleRate(), 48000.0);
    EXPECT_EQ(engine.mainMixerNode()->inputs(), nodes({b}));

    // rebuildGraph picks up a change the same way, and keeps the output
    Settings::setSampleRate(44100);
    auto second = engine.mainMixerNode();
    engine.rebuildGraph();
    EXPECT_NE(engine.mainMixerNode(), second);
    EXPECT_EQ(engine.mainMixerNode()->inputs(), nodes({b}));
    EXPECT_EQ(capture.lines().size(), 2u);
}

TEST_F(AudioEngineTest, RunningStateSurvivesAssignments) {
    devices->addDevice("Speakers", {}, {2});
    AudioEngine engine;
    engine.setOutput(
        std::make_shared<Tone>(std::function<float(std::int64_t)>([](std::int64_t) { return 0.5f; })));
    engine.start();
    EXPECT_TRUE(devices->isRunning());
    auto b = std::make_shared<Tone>(std::function<float(std::int64_t)>([](std::int64_t) { return 0.25f; }));
    engine.setOutput(b);
    EXPECT_TRUE(engine.avEngine()->isRunning());
    EXPECT_EQ(devices->startCount(), 2);
    auto out = devices->tick(64);
    ASSERT_TRUE(out);
    EXPECT_FLOAT_EQ(out->floatChannelData()[0][10], 0.25f); // the new output reaches the device
    engine.pause();
    EXPECT_FALSE(devices->isRunning());
    engine.setOutput(std::make_shared<Tone>());
    EXPECT_FALSE(engine.avEngine()->isRunning());
    EXPECT_EQ(devices->startCount(), 2);
}

TEST_F(AudioEngineTest, StartNeedsAnOutputAndRaisesDeviceFailures) {
    platform::ScopedLogCapture capture;
    AudioEngine engine;
    EXPECT_NO_THROW(engine.start());
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_TRUE(isLogLine(capture.lines()[0], "AudioEngine.cpp", "start()",
                          "🛑 Error: Attempt to start engine with no output."));
    EXPECT_FALSE(engine.avEngine()->isRunning());

    engine.setOutput(std::make_shared<Tone>());
    devices->failStart("device busy");
    try {
        engine.start();
        FAIL() << "no error";
    } catch (const platform::AudioError& error) {
        EXPECT_EQ(error.localizedDescription(), "device busy");
    }
    EXPECT_FALSE(engine.avEngine()->isRunning());
}

TEST_F(AudioEngineTest, RenderContinuesInBlocksOfMaximumFrameCount) {
    AudioEngine engine;
    auto tone = std::make_shared<Tone>();
    engine.setOutput(tone);
    auto empty = engine.startTest(1.0);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->frameCapacity(), 44100u);
    EXPECT_EQ(empty->frameLength(), 0u);

    auto first = engine.render(0.05);
    EXPECT_EQ(tone->blocks, (std::vector<std::uint32_t>{1024, 1024, 157}));
    ASSERT_EQ(first->frameLength(), 2205u);
    for (std::uint32_t i : {0u, 1023u, 1024u, 2204u}) {
        EXPECT_FLOAT_EQ(first->floatChannelData()[0][i], float(i) / 100000.0f);
        EXPECT_FLOAT_EQ(first->floatChannelData()[1][i], float(i) / 100000.0f);
    }
    auto second = engine.render(0.01);
    ASSERT_EQ(second->frameLength(), 441u);
    EXPECT_FLOAT_EQ(second->floatChannelData()[0][0], 2205.0f / 100000.0f);
    EXPECT_EQ(engine.avEngine()->manualRenderingSampleTime(), 2646);
}

TEST_F(AudioEngineTest, RendersMono) {
    Settings::setChannelCount(1);
    AudioEngine engine;
    engine.setOutput(std::make_shared<Tone>());
    engine.startTest(0.1);
    auto mono = engine.render(0.02);
    EXPECT_EQ(mono->format().channelCount(), 1u);
    ASSERT_EQ(mono->frameLength(), 882u);
    EXPECT_FLOAT_EQ(mono->floatChannelData()[0][881], 881.0f / 100000.0f);
}

TEST_F(AudioEngineTest, BadDurationsAndFailedRendersReturnWhatWasRendered) {
    platform::ScopedLogCapture capture;
    AudioEngine engine;
    engine.setOutput(std::make_shared<Tone>());
    for (double bad : {-1.0, std::nan(""), std::numeric_limits<double>::infinity(), 1e6}) {
        auto buffer = engine.startTest(bad);
        ASSERT_TRUE(buffer);
        EXPECT_EQ(buffer->frameCapacity(), 0u);
        buffer = engine.render(bad);
        ASSERT_TRUE(buffer);
        EXPECT_EQ(buffer->frameCapacity(), 0u);
    }
    ASSERT_EQ(capture.lines().size(), 8u);
    EXPECT_TRUE(isLogLine(capture.lines()[0], "AudioEngine.cpp", "startTest(totalDuration:)",
                          "🛑 Duration out of range: -1.0"));
    EXPECT_TRUE(isLogLine(capture.lines()[3], "AudioEngine.cpp", "render(duration:)",
                          "🛑 Duration out of range: nan"));
    EXPECT_FALSE(engine.avEngine()->isInManualRenderingMode());

    // Not in the test mode: the render status is an error, and nothing is appended.
    capture.clear();
    auto none = engine.render(0.05);
    EXPECT_EQ(none->frameLength(), 0u);
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_TRUE(isLogLine(capture.lines()[0], "AudioEngine.cpp", "render(duration:)",
                          "🛑 Could not render offline error"));
}

TEST_F(AudioEngineTest, StartTestFailureLeavesManualModeOff) {
    platform::ScopedLogCapture capture;
    devices->addDevice("Speakers", {}, {2});
    AudioEngine engine;
    engine.setOutput(std::make_shared<Tone>());
    engine.start(); // real time: manual rendering cannot be switched on now
    auto buffer = engine.startTest(0.5);
    ASSERT_TRUE(buffer);
    EXPECT_EQ(buffer->frameCapacity(), 22050u);
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_TRUE(isLogLine(capture.lines()[0], "AudioEngine.cpp", "startTest(totalDuration:)",
                          "🛑 Start Test Error: engine is running"));
    EXPECT_FALSE(engine.avEngine()->isInManualRenderingMode());
}

TEST_F(AudioEngineTest, InputNeedsTheUsageDescriptionAndConnectsOnce) {
    platform::ScopedLogCapture capture;
    auto& bundle = platform::BundleInfo::main();
    bundle.setValue("NSMicrophoneUsageDescription", std::nullopt);
    devices->setInputFormat(*platform::AudioFormat::standard(48000, 1));
    AudioEngine engine;
    EXPECT_EQ(engine.input(), nullptr);
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_TRUE(isLogLine(capture.lines()[0], "AudioEngine.cpp", "input",
                          "To use the microphone, you must include the NSMicrophoneUsageDescription in your "
                          "Info.plist"));
    EXPECT_EQ(capture.entries()[0].level, platform::LogLevel::error);

    bundle.setValue("NSMicrophoneUsageDescription", "Tuning by ear");
    auto input = engine.input();
    ASSERT_TRUE(input);
    EXPECT_FALSE(input->isNotConnected());
    EXPECT_EQ(input->volume(), 1.0f);
    EXPECT_EQ(Settings::sampleRate(), 48000.0);
    EXPECT_EQ(Settings::channelCount(), 2u);
    Settings::setSampleRate(44100);
    EXPECT_EQ(engine.input(), input);
    EXPECT_EQ(Settings::sampleRate(), 44100.0); // the second read did not connect again
    auto points = engine.avEngine()->outputConnectionPoints(engine.avEngine()->inputNode(), 0);
    ASSERT_EQ(points.size(), 1u);
    EXPECT_EQ(points[0].node, input->avAudioNode());
    EXPECT_EQ(points[0].bus, 0u);
    bundle.setValue("NSMicrophoneUsageDescription", std::nullopt);
}

TEST_F(AudioEngineTest, InputWithoutHardwareStaysUnconnectedAndRetries) {
    platform::ScopedLogCapture capture;
    platform::BundleInfo::main().setValue("NSMicrophoneUsageDescription", "Tuning by ear");
    AudioEngine engine; // the fake has no input: rate 0
    auto input = engine.input();
    ASSERT_TRUE(input);
    EXPECT_TRUE(input->isNotConnected());
    EXPECT_EQ(Settings::audioFormat(), Settings::defaultAudioFormat());
    EXPECT_EQ(input->avAudioNode()->engine(), nullptr);
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_TRUE(isLogLine(capture.lines()[0], "AudioEngine.cpp", "connectEngineInput(_:)",
                          "🛑 No audio input hardware; the input stays unconnected. Sample rate: 0.0"));

    engine.avEngine()->inputNode()->setHardwareFormat(*platform::AudioFormat::standard(32000, 1));
    EXPECT_FALSE(engine.input()->isNotConnected());
    EXPECT_EQ(Settings::sampleRate(), 32000.0);
    platform::BundleInfo::main().setValue("NSMicrophoneUsageDescription", std::nullopt);
}

TEST_F(AudioEngineTest, IOBufferDuration) {
    platform::ScopedLogCapture capture;
    auto bare = platform::AudioEngine::make(); // no device unit
    EXPECT_EQ(Settings::getIOBufferDuration(*bare), 0.0);
    EXPECT_TRUE(capture.lines().empty());

    devices->setBufferFrameSize(441);
    AudioEngine engine;
    EXPECT_DOUBLE_EQ(Settings::getIOBufferDuration(*engine.avEngine()), 0.01);

    devices->setBufferFrameSize(0, kAudioUnitErr_PropertyNotInUse);
    EXPECT_EQ(Settings::getIOBufferDuration(*engine.avEngine()), 0.0);
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_TRUE(isLogLine(capture.lines()[0], "Settings.cpp", "getIOBufferDuration(engine:)",
                          "error in get ioBufferDuration status -10850"));
    EXPECT_EQ(capture.entries()[0].category, "settings");

    devices->setOutputFormat(platform::AudioFormat{});
    AudioEngine silent;
    EXPECT_EQ(Settings::getIOBufferDuration(*silent.avEngine()), 0.0);
    ASSERT_EQ(capture.lines().size(), 2u);
    EXPECT_TRUE(isLogLine(capture.lines()[1], "Settings.cpp", "getIOBufferDuration(engine:)",
                          "error in get ioBufferDuration: no output sample rate"));
}
