#include "TapTestSupport.h"

#include "sonabel/nodes/mixing/Mixer.h"
#include "sonabel/taps/AmplitudeTap.h"

#include <cmath>

using namespace sonabel;
using namespace taptest;

namespace {

class AmplitudeTapTest : public TapTest {};

// Records what reaches the base's per-buffer operation.
class RecordingTap : public BaseTap {
public:
    using BaseTap::BaseTap;
    void processTapBuffer(const platform::PCMBuffer& buffer, const platform::AudioTime& time) override {
        lengths.push_back(buffer.frameLength());
        firstSamples.push_back(buffer.floatChannelData()[0][0]);
        times.push_back(time.sampleTime());
    }
    std::vector<std::uint32_t> lengths;
    std::vector<float> firstSamples;
    std::vector<std::int64_t> times;
};

std::shared_ptr<Source> detachedSource() {
    return std::make_shared<Source>([](std::uint32_t, std::int64_t) { return 0.0f; });
}

} // namespace

TEST_F(AmplitudeTapTest, BuffersArriveOnTheMainQueueWithTheRequestedLength) {
    auto source = attach([](std::uint32_t, std::int64_t t) { return float(t); });
    auto tap = std::make_shared<RecordingTap>(source, 512);
    tap->setMainQueue(queue);
    tap->start();
    engine.render(2048.0 / 44100);
    EXPECT_TRUE(tap->lengths.empty()); // nothing is processed on the render thread
    driver.runUntilIdle();
    EXPECT_EQ(tap->lengths, (std::vector<std::uint32_t>{512, 512, 512, 512}));
    EXPECT_EQ(tap->firstSamples, (std::vector<float>{0, 512, 1024, 1536}));
    EXPECT_EQ(tap->times, (std::vector<std::int64_t>{0, 512, 1024, 1536}));

    // A buffer queued before stop() is dropped when its work runs.
    engine.render(512.0 / 44100);
    tap->stop();
    driver.runUntilIdle();
    EXPECT_EQ(tap->lengths.size(), 4u);
    engine.render(1024.0 / 44100);
    driver.runUntilIdle();
    EXPECT_EQ(tap->lengths.size(), 4u);

    // A second start() while started installs nothing new: one buffer per 512 frames, not two.
    tap->start();
    tap->start();
    engine.render(1024.0 / 44100);
    driver.runUntilIdle();
    EXPECT_EQ(tap->lengths.size(), 6u);
    tap->stop();
}

TEST_F(AmplitudeTapTest, DetachedNodeAndRestarts) {
    platform::ScopedLogCapture capture;
    auto node = detachedSource();
    auto tap = std::make_shared<RecordingTap>(node, 256);
    tap->stop(); // never started: still removes, and logs
    EXPECT_FALSE(tap->isStarted());
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_TRUE(isLogLine(capture.lines()[0], "BaseTap.cpp", "removeTap()",
                          "The tapped node isn't attached to the engine"));
    capture.clear();

    tap->start();
    EXPECT_TRUE(tap->isStarted());
    ASSERT_EQ(capture.lines().size(), 2u);
    EXPECT_TRUE(isLogLine(capture.lines()[0], "BaseTap.cpp", "removeTap()",
                          "The tapped node isn't attached to the engine"));
    EXPECT_TRUE(isLogLine(capture.lines()[1], "BaseTap.cpp", "start()",
                          "The tapped node isn't attached to the engine"));
    tap->start();
    EXPECT_EQ(capture.lines().size(), 2u);

    tap->setInput(node); // the same node: no restart
    EXPECT_EQ(capture.lines().size(), 2u);
    tap->setBus(1); // started: stop (one line) and start (two)
    EXPECT_EQ(tap->bus(), 1);
    EXPECT_EQ(capture.lines().size(), 5u);
    tap->stop();
    capture.clear();
    tap->setBus(0); // stopped: only stored
    tap->setInput(detachedSource());
    EXPECT_TRUE(capture.lines().empty());
    EXPECT_FALSE(tap->isStarted());
}

TEST_F(AmplitudeTapTest, RetargetedTapFollowsTheNewNode) {
    auto first = std::make_shared<Source>([](std::uint32_t, std::int64_t) { return 1.0f; });
    auto second = std::make_shared<Source>([](std::uint32_t, std::int64_t) { return 2.0f; });
    engine.setOutput(std::make_shared<Mixer>(std::vector<std::shared_ptr<Node>>{first, second}));
    engine.startTest(1);
    auto tap = std::make_shared<RecordingTap>(first, 1024);
    tap->setMainQueue(queue);
    tap->start();
    engine.render(1024.0 / 44100);
    driver.runUntilIdle();
    tap->setInput(second);
    engine.render(1024.0 / 44100);
    driver.runUntilIdle();
    EXPECT_EQ(tap->firstSamples, (std::vector<float>{1.0f, 2.0f}));
    tap->stop();
}

TEST_F(AmplitudeTapTest, RMSPerChannelAndStereoModes) {
    // Channel 0 a constant 0.5, channel 1 a square wave of ±0.25.
    auto source =
        attach([](std::uint32_t c, std::int64_t t) { return c == 0 ? 0.5f : (t % 2 ? 0.25f : -0.25f); });
    std::vector<float> reported;
    auto tap = std::make_shared<AmplitudeTap>(source, 512, StereoMode::center, AnalysisMode::rms,
                                              [&](float v) { reported.push_back(v); });
    tap->setMainQueue(queue);
    tap->start();
    engine.render(1024.0 / 44100);
    driver.runUntilIdle();
    EXPECT_EQ(reported, (std::vector<float>{0.375f, 0.375f}));
    EXPECT_FLOAT_EQ(tap->leftAmplitude(), 0.5f);
    EXPECT_FLOAT_EQ(tap->rightAmplitude(), 0.25f);
    EXPECT_FLOAT_EQ(tap->level(), 0.375f);

    tap->setStereoMode(StereoMode::left);
    engine.render(512.0 / 44100);
    driver.runUntilIdle();
    tap->setStereoMode(StereoMode::right);
    engine.render(512.0 / 44100);
    driver.runUntilIdle();
    ASSERT_EQ(reported.size(), 4u);
    EXPECT_FLOAT_EQ(reported[2], 0.5f);
    EXPECT_FLOAT_EQ(reported[3], 0.25f);

    tap->stop();
    EXPECT_EQ(tap->level(), 0.0f);
    EXPECT_EQ(tap->leftAmplitude(), 0.0f);
    EXPECT_EQ(tap->rightAmplitude(), 0.0f);
    EXPECT_EQ(reported.size(), 4u); // stop() calls no handler
}

TEST_F(AmplitudeTapTest, PeakIsTheLargestSignedSample) {
    // All negative: the peak is the value nearest zero, not the largest magnitude.
    auto source = attach(
        [](std::uint32_t c, std::int64_t t) { return c == 0 ? -0.5f - float(t % 7) * 0.01f : -0.75f; });
    std::vector<float> reported;
    auto tap = std::make_shared<AmplitudeTap>(source, 1024, StereoMode::left, AnalysisMode::peak,
                                              [&](float v) { reported.push_back(v); });
    tap->setMainQueue(queue);
    tap->start();
    engine.render(1024.0 / 44100);
    driver.runUntilIdle();
    EXPECT_EQ(reported, (std::vector<float>{-0.5f}));
    EXPECT_EQ(tap->rightAmplitude(), -0.75f);
    tap->stop();
}

TEST_F(AmplitudeTapTest, MonoAndNonFloatBuffers) {
    std::vector<float> reported;
    auto tap = std::make_shared<AmplitudeTap>(detachedSource(), 4, StereoMode::center, AnalysisMode::rms,
                                              [&](float v) { reported.push_back(v); });
    EXPECT_FALSE(tap->isStarted());
    EXPECT_EQ(tap->bus(), 0);
    EXPECT_EQ(tap->amp(), (std::array<float, 2>{0, 0}));
    EXPECT_EQ(tap->stereoMode(), StereoMode::center);
    EXPECT_EQ(tap->analysisMode(), AnalysisMode::rms);
    auto mono = makeBuffer(*platform::AudioFormat::standard(44100, 1), 4, [](auto, auto) { return 0.5f; });
    tap->processTapBuffer(*mono, {});
    EXPECT_EQ(reported, (std::vector<float>{0.25f})); // half of channel 0 plus a channel 1 still at 0

    auto ints = platform::PCMBuffer::make(
        *platform::AudioFormat::make(platform::AudioFormat::CommonFormat::pcmFormatInt16, 44100, 2, false),
        4);
    ints->setFrameLength(4);
    tap->processTapBuffer(*ints, {});
    EXPECT_EQ(reported.size(), 1u);
    EXPECT_EQ(tap->leftAmplitude(), 0.5f);

    // More than two channels: only the first two are measured.
    auto four = makeBuffer(*platform::AudioFormat::standard(44100, 4), 4,
                           [](std::uint32_t c, auto) { return float(c + 1) * 0.125f; });
    tap->processTapBuffer(*four, {});
    EXPECT_EQ(reported.back(), 0.1875f);
}
