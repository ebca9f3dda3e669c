#include "EngineTestSupport.h"

#include "platform/core/BundleInfo.h"
#include "sonabel/internals/engine/AudioEngine.h"
#include "sonabel/internals/utilities/PointerString.h"
#include "sonabel/midi/EndpointInfo.h"
#include "sonabel/midi/MIDIEvent.h"
#include "sonabel/nodes/NodeParameter.h"
#include "sonabel/nodes/playback/AudioPlayer.h"

using namespace sonabel;
using namespace enginetest;

namespace {
class DefaultsTest : public EngineTest {};
} // namespace

TEST_F(DefaultsTest, EngineAndInputNode) {
    AudioEngine one, two;
    EXPECT_NE(one.avEngine(), two.avEngine());
    EXPECT_EQ(one.maximumFrameCount, 1024u);
    EXPECT_FALSE(one.mainMixerNode());
    EXPECT_FALSE(one.output());
    EXPECT_FALSE(one.avEngine()->isRunning());

    platform::BundleInfo::main().setValue("NSMicrophoneUsageDescription", "Tuning by ear");
    auto input = one.input();
    ASSERT_TRUE(input);
    EXPECT_NE(input, two.input());
    EXPECT_TRUE(input->isNotConnected()); // the fake has no input hardware
    EXPECT_EQ(input->volume(), 1.0f);
    EXPECT_EQ(input->name(), pointerString(input.get())); // no name given: the mixer's address
    EXPECT_TRUE(input->inputs().empty());
    platform::BundleInfo::main().setValue("NSMicrophoneUsageDescription", std::nullopt);
    EXPECT_TRUE(AudioEngine::InputNode().isNotConnected());
}

TEST_F(DefaultsTest, DeviceMixerAndParameter) {
    const Device named("Speakers", 3);
    EXPECT_FALSE(named.inputChannelCount);
    EXPECT_FALSE(named.outputChannelCount);

    Mixer mixer;
    EXPECT_TRUE(mixer.inputs().empty());
    EXPECT_EQ(mixer.volume(), 1.0f);
    EXPECT_EQ(mixer.pan(), 0.0f);

    NodeParameter parameter(NodeParameterDef{"gain", "Gain", 1, 0.5f, {0, 1}, 0, 0});
    EXPECT_FALSE(parameter.avAudioNode());
    EXPECT_FALSE(parameter.parameter());
    EXPECT_FALSE(parameter.renderObserverToken());
    EXPECT_FALSE(parameter.parameterObserverToken());
}

TEST_F(DefaultsTest, MIDIValues) {
    const MIDIEvent event;
    EXPECT_TRUE(event.data.empty());
    EXPECT_FALSE(event.positionInBeats);
    EXPECT_FALSE(event.offset);
    EXPECT_FALSE(event.timeStamp);
    const EndpointInfo info;
    EXPECT_EQ(info.name, "");
    EXPECT_EQ(info.displayName, "");
    EXPECT_FALSE(info.midiPortRef);
}

TEST_F(DefaultsTest, AudioPlayer) {
    AudioPlayer player;
    AudioPlayer other;
    EXPECT_NE(player.playerNode, other.playerNode);
    EXPECT_NE(player.mixerNode, other.mixerNode);
    EXPECT_EQ(player.avAudioNode(), player.mixerNode);
    EXPECT_FALSE(player.isPlaying() || player.isPaused() || player.isBuffered() || player.isReversed() ||
                 player.isLooping() || player.isSeeking() || player.isEditTimeEnabled());
    EXPECT_FALSE(player.hasCompletionHandler());
    EXPECT_FALSE(player.file());
    EXPECT_FALSE(player.buffer());
    EXPECT_EQ(player.editStartTime(), 0.0);
    EXPECT_EQ(player.editEndTime(), 0.0);
    EXPECT_EQ(player.pausedTime(), 0.0);
    EXPECT_FALSE(player.scheduleTime() || player.savedEditStartTime() || player.savedEditEndTime());
    EXPECT_EQ(player.bufferOptions(), 2u);
    EXPECT_EQ(player.frameCount(), 0u);
    EXPECT_FALSE(player.startingFrame() || player.endingFrame());
}

TEST_F(DefaultsTest, PlayerTakesABuffer) {
    platform::ScopedLogCapture capture;
    AudioPlayer player;
    player.play();
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_TRUE(isLogLine(capture.lines()[0], "AudioPlayer.cpp", "play(from:to:at:completionCallbackType:)",
                          "🛑 Error: AudioPlayer has no file or buffer to play."));
    player.makeInternalConnections(); // not attached: logs, connects nothing
    EXPECT_EQ(capture.lines().size(), 2u);
    auto buffer = platform::PCMBuffer::make(Settings::audioFormat(), 10);
    player.setBuffer(buffer);
    EXPECT_TRUE(player.isBuffered());
    player.setBuffer(nullptr);
    EXPECT_FALSE(player.isBuffered());
}
