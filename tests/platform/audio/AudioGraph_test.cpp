#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioError.h"
#include "platform/audio/AudioInputNode.h"
#include "platform/audio/AudioMixerNode.h"
#include "platform/audio/AudioOutputNode.h"
#include "platform/audio/AudioSourceNode.h"
#include "platform/audio/AudioUnitEffect.h"
#include "platform/core/LogSink.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace platform;
using Status = AudioEngine::ManualRenderingStatus;

namespace {

AudioFormat stereo(double rate = 44100) {
    return *AudioFormat::standard(rate, 2);
}

// A source of one constant per channel that counts its render cycles.
std::shared_ptr<AudioSourceNode> constant(float left, float right, int* renders = nullptr,
                                          std::optional<AudioFormat> format = std::nullopt) {
    return AudioSourceNode::make(
        [=](bool&, const AudioTime&, std::uint32_t frames, float* const* out, std::uint32_t channels) {
            if (renders) ++*renders;
            for (std::uint32_t c = 0; c < channels; ++c)
                for (std::uint32_t i = 0; i < frames; ++i)
                    out[c][i] = c == 0 ? left : right;
            return noErr;
        },
        format);
}

class Gain : public AudioUnitEffect {
public:
    static std::shared_ptr<Gain> make() {
        std::shared_ptr<Gain> g(new Gain());
        g->auAudioUnit()->setParameterTree(AUParameterTree::createTree(
            {AUParameterTree::createParameter("gain", "Gain", 0, 0, 2, 0, std::nullopt, 0xC2000000)}));
        return g;
    }

protected:
    Gain()
        : AudioUnitEffect({kAudioUnitType_Effect, AudioComponentDescription::code("gain"), 0, 0, 0}, "Gain") {
    }
    void process(const float* const* in, float* const* out, std::uint32_t channels,
                 std::uint32_t frames) override {
        const float g = renderValue(0);
        for (std::uint32_t c = 0; c < channels; ++c)
            for (std::uint32_t i = 0; i < frames; ++i)
                out[c][i] = in[c][i] * g;
    }
};

struct Offline {
    std::shared_ptr<AudioEngine> engine = AudioEngine::make();
    std::shared_ptr<PCMBuffer> buffer;
    explicit Offline(std::uint32_t maxFrames = 512, AudioFormat format = stereo()) {
        engine->enableManualRenderingMode(AudioEngine::ManualRenderingMode::offline, format, maxFrames);
        buffer = PCMBuffer::make(format, maxFrames);
    }
    Status render(std::uint32_t frames) { return engine->renderOffline(frames, *buffer); }
    float at(std::uint32_t channel, std::uint32_t frame) const {
        return buffer->floatChannelData()[channel][frame];
    }
};

} // namespace

TEST(AudioGraph, ChainRendersThroughEveryNode) {
    Offline o;
    auto c = constant(0.25f, -0.5f);
    auto b = Gain::make();
    auto a = AudioMixerNode::make();
    for (auto n : std::initializer_list<std::shared_ptr<AudioNode>>{a, b, c})
        ASSERT_TRUE(o.engine->attach(n));
    ASSERT_TRUE(o.engine->connect(c, b, 0, 0, stereo()));
    ASSERT_TRUE(o.engine->connect(b, a, 0, 0, stereo()));
    ASSERT_TRUE(o.engine->connect(a, o.engine->outputNode(), 0, 0, stereo()));
    b->auAudioUnit()->parameterTree()->parameterWithAddress(0)->setValue(2.0f);
    o.engine->start();
    ASSERT_EQ(o.render(256), Status::success);
    EXPECT_EQ(o.buffer->frameLength(), 256u);
    EXPECT_FLOAT_EQ(o.at(0, 0), 0.5f);
    EXPECT_FLOAT_EQ(o.at(1, 255), -1.0f);
    EXPECT_EQ(o.engine->manualRenderingSampleTime(), 256);
    ASSERT_TRUE(a->lastRenderTime());
    EXPECT_EQ(a->lastRenderTime()->sampleTime(), 0);
    EXPECT_FALSE(a->lastRenderTime()->isHostTimeValid());

    // Bypassed, the effect passes its input through.
    b->auAudioUnit()->setShouldBypassEffect(true);
    o.render(16);
    EXPECT_FLOAT_EQ(o.at(0, 3), 0.25f);
    o.engine->stop();
    EXPECT_FALSE(a->lastRenderTime());
}

TEST(AudioGraph, FanOutRendersTheSharedNodeOncePerCycle) {
    Offline o;
    int renders = 0;
    auto shared = constant(0.1f, 0.2f, &renders);
    auto m1 = AudioMixerNode::make(), m2 = AudioMixerNode::make();
    auto main = o.engine->mainMixerNode();
    for (auto n :
         {std::shared_ptr<AudioNode>(shared), std::shared_ptr<AudioNode>(m1), std::shared_ptr<AudioNode>(m2)})
        o.engine->attach(n);
    ASSERT_TRUE(o.engine->connect(shared, {{m1, 0}, {m2, 0}}, 0, stereo()));
    ASSERT_TRUE(o.engine->connect(m1, main, stereo()));
    ASSERT_TRUE(o.engine->connect(m2, main, stereo()));
    EXPECT_EQ(o.engine->outputConnectionPoints(shared, 0).size(), 2u);
    EXPECT_EQ(o.engine->inputConnectionPoint(main, 1)->node, m2);
    o.engine->start();
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(o.render(128), Status::success);
    EXPECT_EQ(renders, 3);
    EXPECT_FLOAT_EQ(o.at(0, 5), 0.2f);
    EXPECT_FLOAT_EQ(o.at(1, 5), 0.4f);

    // The plain connect replaces the whole fan-out of the source bus.
    ASSERT_TRUE(o.engine->connect(shared, m1, 0, 0, stereo()));
    EXPECT_EQ(o.engine->outputConnectionPoints(shared, 0).size(), 1u);
    o.render(8);
    EXPECT_FLOAT_EQ(o.at(0, 0), 0.1f);
}

TEST(AudioGraph, RefusesCyclesForeignNodesAndMissingBusses) {
    platform::ScopedLogCapture capture;
    auto engine = AudioEngine::make();
    auto m1 = AudioMixerNode::make(), m2 = AudioMixerNode::make(), m3 = AudioMixerNode::make();
    engine->attach(m1);
    engine->attach(m2);
    engine->attach(m3);
    EXPECT_FALSE(engine->connect(m1, m1, 0, 0, std::nullopt));
    ASSERT_TRUE(engine->connect(m1, m2, 0, 0, std::nullopt));
    ASSERT_TRUE(engine->connect(m2, m3, 0, 0, std::nullopt));
    EXPECT_FALSE(engine->connect(m3, m1, 0, 0, std::nullopt));
    EXPECT_FALSE(engine->connect(m1, {{m2, 1}, {m1, 3}}, 0, std::nullopt)); // nothing changes on refusal
    EXPECT_EQ(engine->outputConnectionPoints(m1, 0), (std::vector<AudioConnectionPoint>{{m2, 0}}));
    EXPECT_FALSE(engine->connect(m1, m2, 1, 0, std::nullopt));
    auto stranger = AudioMixerNode::make();
    EXPECT_FALSE(engine->connect(stranger, m1, 0, 0, std::nullopt));
    auto other = AudioEngine::make();
    EXPECT_FALSE(other->attach(m1));
    auto interleaved = AudioFormat::make(AudioFormat::CommonFormat::pcmFormatInt16, 44100, 2, true);
    EXPECT_FALSE(engine->connect(m2, m3, 0, 1, interleaved));
    EXPECT_GE(capture.lines().size(), 6u);

    // A fixed bus array takes no bus beyond its count.
    auto& busses = m3->auAudioUnit()->inputBusses();
    ASSERT_TRUE(busses.setBusCount(8));
    busses.setCountChangeable(false);
    EXPECT_FALSE(busses.setBusCount(12));
    EXPECT_EQ(m3->numberOfInputs(), 8u);
    EXPECT_EQ(m3->nextAvailableInputBus(), 1u);
    EXPECT_FALSE(engine->connect(m1, m3, 0, 8, std::nullopt));
    EXPECT_TRUE(engine->connect(m1, m3, 0, 7, std::nullopt));
}

TEST(AudioGraph, DisconnectAndDetach) {
    auto engine = AudioEngine::make();
    auto src = constant(1, 1);
    auto m1 = AudioMixerNode::make(), m2 = AudioMixerNode::make();
    for (auto n :
         {std::shared_ptr<AudioNode>(src), std::shared_ptr<AudioNode>(m1), std::shared_ptr<AudioNode>(m2)})
        engine->attach(n);
    engine->connect(src, {{m1, 0}, {m2, 2}}, 0, *AudioFormat::standard(48000, 1));
    EXPECT_EQ(m2->inputFormat(2), *AudioFormat::standard(48000, 1));
    EXPECT_EQ(src->outputFormat(0).sampleRate(), 48000);
    EXPECT_EQ(m2->nextAvailableInputBus(), 0u);
    engine->disconnectNodeInput(m1);
    EXPECT_EQ(engine->outputConnectionPoints(src, 0), (std::vector<AudioConnectionPoint>{{m2, 2}}));
    engine->disconnectNodeOutput(src);
    EXPECT_TRUE(engine->outputConnectionPoints(src, 0).empty());
    EXPECT_EQ(src->outputFormat(0).sampleRate(), 44100); // back to its own format
    engine->connect(src, m1, std::nullopt);
    engine->detach(src);
    EXPECT_FALSE(src->engine());
    EXPECT_FALSE(engine->inputConnectionPoint(m1, 0));
}

TEST(AudioGraph, VolumeAndPanOfEachInputAndTheMixerOutput) {
    Offline o;
    auto mono = constant(1.0f, 0, nullptr, *AudioFormat::standard(44100, 1));
    auto st = constant(0.5f, 0.5f);
    auto mixer = o.engine->mainMixerNode();
    o.engine->attach(mono);
    o.engine->attach(st);
    o.engine->connect(mono, mixer, *AudioFormat::standard(44100, 1));
    o.engine->connect(st, mixer, stereo());
    mono->setPan(0.5f); // left at half
    mono->setVolume(0.5f);
    st->setPan(-1.0f); // right silent
    o.engine->start();
    o.render(64);
    EXPECT_FLOAT_EQ(o.at(0, 10), 0.25f + 0.5f);
    EXPECT_FLOAT_EQ(o.at(1, 10), 0.5f + 0.0f);
    mixer->setOutputVolume(0.5f);
    o.render(64);
    EXPECT_FLOAT_EQ(o.at(0, 10), 0.375f);
    mixer->setOutputVolume(-3); // never negative
    EXPECT_EQ(mixer->outputVolume(), 0);
    st->setPan(7);
    EXPECT_EQ(st->pan(), 1);
    st->setVolume(std::nanf(""));
    EXPECT_EQ(st->volume(), 1);
}

TEST(AudioGraph, InputsAtAnotherRateAreConverted) {
    Offline o(1024);
    auto slow = constant(0.5f, 0.5f, nullptr, stereo(22050));
    o.engine->attach(slow);
    ASSERT_TRUE(o.engine->connect(slow, o.engine->mainMixerNode(), stereo(22050)));
    o.engine->start();
    for (int i = 0; i < 4; ++i)
        o.render(1024);
    // Past the converter's start-up, a constant stays that constant.
    EXPECT_NEAR(o.at(0, 900), 0.5f, 1e-3);
    EXPECT_NEAR(o.at(1, 100), 0.5f, 1e-3);
}

TEST(AudioGraph, ManualRenderingStatuses) {
    auto engine = AudioEngine::make();
    auto buffer = PCMBuffer::make(stereo(), 256);
    EXPECT_EQ(engine->renderOffline(16, *buffer), Status::error); // not in manual mode
    EXPECT_THROW(engine->enableManualRenderingMode(AudioEngine::ManualRenderingMode::offline, stereo(), 0),
                 AudioError);
    EXPECT_THROW(engine->enableManualRenderingMode(
                     AudioEngine::ManualRenderingMode::offline,
                     *AudioFormat::make(AudioFormat::CommonFormat::pcmFormatInt16, 44100, 2, false), 256),
                 AudioError);
    engine->enableManualRenderingMode(AudioEngine::ManualRenderingMode::offline, stereo(), 128);
    EXPECT_EQ(engine->manualRenderingMaximumFrameCount(), 128u);
    EXPECT_EQ(engine->renderOffline(16, *buffer), Status::error); // not started
    engine->start();
    EXPECT_THROW(engine->enableManualRenderingMode(AudioEngine::ManualRenderingMode::offline, stereo(), 128),
                 AudioError);
    EXPECT_EQ(engine->renderOffline(129, *buffer), Status::error);
    EXPECT_EQ(engine->renderOffline(0, *buffer), Status::error);
    auto mono = PCMBuffer::make(*AudioFormat::standard(44100, 1), 256);
    EXPECT_EQ(engine->renderOffline(16, *mono), Status::error);
    auto small = PCMBuffer::make(stereo(), 8);
    EXPECT_EQ(engine->renderOffline(16, *small), Status::error);
    EXPECT_EQ(engine->renderOffline(16, *buffer), Status::success); // nothing connected: silence
    EXPECT_EQ(buffer->floatChannelData()[0][3], 0.0f);

    // The input node starves when its block has nothing.
    auto input = engine->inputNode();
    auto feed = PCMBuffer::make(stereo(), 128);
    feed->setFrameLength(128);
    feed->floatChannelData()[0][0] = 0.75f;
    bool give = true;
    ASSERT_TRUE(input->setManualRenderingInputPCMFormat(
        stereo(), [&](std::uint32_t) { return give ? feed.get() : nullptr; }));
    engine->connect(input, engine->mainMixerNode(), stereo());
    EXPECT_EQ(engine->renderOffline(16, *buffer), Status::success);
    EXPECT_EQ(buffer->floatChannelData()[0][0], 0.75f);
    give = false;
    EXPECT_EQ(engine->renderOffline(16, *buffer), Status::insufficientDataFromInputNode);
    EXPECT_EQ(engine->manualRenderingSampleTime(), 48);
    engine->stop();
    engine->disableManualRenderingMode();
    EXPECT_FALSE(engine->isInManualRenderingMode());
}

TEST(AudioGraph, TheOutputsDirectInputRendersIntoTheCallersBufferForThatCycleOnly) {
    Offline o(128);
    auto src = constant(0.25f, -0.5f);
    o.engine->attach(src);
    ASSERT_TRUE(o.engine->connect(src, o.engine->outputNode(), 0, 0, stereo()));
    std::vector<float> tapped;
    ASSERT_TRUE(src->installTap(0, 128, std::nullopt, [&](std::shared_ptr<PCMBuffer> b, AudioTime) {
        tapped.push_back(b->floatChannelData()[1][127]);
    }));
    o.engine->start();
    ASSERT_EQ(o.render(128), Status::success);
    EXPECT_FLOAT_EQ(o.at(0, 127), 0.25f);
    EXPECT_FLOAT_EQ(o.at(1, 0), -0.5f);
    EXPECT_EQ(tapped, std::vector<float>{-0.5f});

    // Later cycles leave that buffer alone, whether the node still feeds the output or not.
    o.buffer->floatChannelData()[0][0] = 9;
    auto other = PCMBuffer::make(stereo(), 128);
    ASSERT_EQ(o.engine->renderOffline(64, *other), Status::success);
    EXPECT_FLOAT_EQ(other->floatChannelData()[0][63], 0.25f);
    auto mixer = AudioMixerNode::make();
    o.engine->attach(mixer);
    ASSERT_TRUE(o.engine->connect(src, mixer, 0, 0, stereo()));
    ASSERT_TRUE(o.engine->connect(mixer, o.engine->outputNode(), 0, 0, stereo()));
    ASSERT_EQ(o.engine->renderOffline(64, *other), Status::success);
    EXPECT_FLOAT_EQ(other->floatChannelData()[1][0], -0.5f);
    EXPECT_FLOAT_EQ(o.at(0, 0), 9.0f);
}

TEST(AudioGraph, TapsDeliverExactlyTheirSizeAfterTheCycle) {
    Offline o(256);
    auto src = constant(0.5f, 0.5f);
    o.engine->attach(src);
    o.engine->connect(src, o.engine->mainMixerNode(), stereo());
    std::vector<std::pair<std::uint32_t, std::int64_t>> got;
    ASSERT_TRUE(src->installTap(0, 100, std::nullopt, [&](std::shared_ptr<PCMBuffer> b, AudioTime when) {
        got.emplace_back(b->frameLength(), when.sampleTime());
        EXPECT_EQ(b->floatChannelData()[1][99], 0.5f);
    }));
    EXPECT_FALSE(src->installTap(0, 100, std::nullopt, [](auto, auto) {})); // one per bus
    EXPECT_FALSE(src->installTap(1, 100, std::nullopt, [](auto, auto) {}));
    EXPECT_FALSE(o.engine->mainMixerNode()->installTap(0, 0, std::nullopt, [](auto, auto) {}));
    EXPECT_FALSE(
        o.engine->mainMixerNode()->installTap(0, 10, *AudioFormat::standard(48000, 2), [](auto, auto) {}));
    o.engine->start();
    for (int i = 0; i < 3; ++i)
        o.render(256);
    ASSERT_EQ(got.size(), 7u);
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].first, 100u);
        EXPECT_EQ(got[i].second, std::int64_t(i * 100));
    }
    src->removeTap(0);
    o.render(256);
    EXPECT_EQ(got.size(), 7u);
}
