#include "platform/audio/AudioBufferList.h"
#include "platform/audio/AudioMixerNode.h"
#include "platform/audio/AudioObjectCalls.h"
#include "platform/audio/AudioOutputNode.h"
#include "platform/audio/AudioPlayerNode.h"
#include "platform/audio/AudioUnitCalls.h"
#include "platform/audio/devices/FakeAudioDeviceBackend.h"
#include "platform/audio/devices/NullAudioDeviceBackend.h"
#include "platform/core/LogSink.h"
#include "testing/Eventually.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>

using namespace platform;

namespace {

struct BackendScope {
    std::shared_ptr<AudioDeviceBackend> previous;
    explicit BackendScope(std::shared_ptr<AudioDeviceBackend> backend)
        : previous(AudioDeviceBackend::setCurrent(std::move(backend))) {}
    ~BackendScope() { AudioDeviceBackend::setCurrent(previous); }
};

constexpr AudioObjectPropertyAddress kDevices{kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal,
                                              0};

} // namespace

TEST(AudioObjectCalls, AnswerFromTheCurrentBackend) {
    auto fake = std::make_shared<FakeAudioDeviceBackend>();
    BackendScope scope(fake);
    const auto a = fake->addDevice("A", {2, 2}, {}), b = fake->addDevice("B", {}, {6});
    std::uint32_t size = 0;
    ASSERT_EQ(AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &kDevices, 0, nullptr, &size), noErr);
    EXPECT_EQ(size, 8u);
    AudioDeviceID ids[3] = {0, 0, 0};
    size = 4; // room for one only
    ASSERT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &kDevices, 0, nullptr, &size, ids), noErr);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(ids[0], a);
    EXPECT_EQ(ids[1], 0u);

    const AudioObjectPropertyAddress inputs{kAudioDevicePropertyStreamConfiguration,
                                            kAudioObjectPropertyScopeInput, 0};
    ASSERT_EQ(AudioObjectGetPropertyDataSize(a, &inputs, 0, nullptr, &size), noErr);
    EXPECT_EQ(size, audioBufferListSize(2));
    std::vector<AudioBuffer> storage(3);
    std::uint32_t small = std::uint32_t(audioBufferListSize(1));
    EXPECT_EQ(AudioObjectGetPropertyData(a, &inputs, 0, nullptr, &small, storage.data()),
              kAudioHardwareBadPropertySizeError);
    ASSERT_EQ(AudioObjectGetPropertyData(a, &inputs, 0, nullptr, &size, storage.data()), noErr);
    EXPECT_EQ(reinterpret_cast<const AudioBufferList*>(storage.data())->mNumberBuffers, 2u);

    const AudioObjectPropertyAddress name{kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal, 0};
    const char* text = nullptr;
    size = sizeof text;
    ASSERT_EQ(AudioObjectGetPropertyData(b, &name, 0, nullptr, &size, &text), noErr);
    EXPECT_STREQ(text, "B");
    EXPECT_EQ(AudioObjectGetPropertyData(9, &name, 0, nullptr, &size, &text), kAudioHardwareBadObjectError);
    const AudioObjectPropertyAddress odd{0x3F3F3F3F, kAudioObjectPropertyScopeGlobal, 0};
    EXPECT_EQ(AudioObjectGetPropertyDataSize(b, &odd, 0, nullptr, &size), kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(AudioObjectGetPropertyDataSize(b, nullptr, 0, nullptr, &size), kAudio_ParamError);
}

TEST(AudioObjectCalls, OutputUnitPropertiesFollowTheIOBackend) {
    auto fake = std::make_shared<FakeAudioDeviceBackend>();
    const auto speakers = fake->addDevice("Speakers", {}, {2});
    fake->setBufferFrameSize(256);
    auto engine = AudioEngine::make();
    EXPECT_EQ(engine->outputNode()->audioUnit(), nullptr);
    engine->setIOBackend(fake->makeIO());
    AUAudioUnit* unit = engine->outputNode()->audioUnit();
    ASSERT_NE(unit, nullptr);
    std::uint32_t value = 0, size = sizeof value;
    ASSERT_EQ(AudioUnitGetProperty(unit, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0,
                                   &value, &size),
              noErr);
    EXPECT_EQ(value, speakers);
    ASSERT_EQ(AudioUnitGetProperty(unit, kAudioDevicePropertyBufferFrameSize, kAudioUnitScope_Global, 0,
                                   &value, &size),
              noErr);
    EXPECT_EQ(value, 256u);
    const std::uint16_t tooSmall = 2;
    EXPECT_NE(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0,
                                   &tooSmall, sizeof tooSmall),
              noErr);
}

TEST(FakeAudioDeviceBackend, TickRendersTheStartedEngine) {
    auto fake = std::make_shared<FakeAudioDeviceBackend>();
    auto engine = AudioEngine::make();
    engine->setIOBackend(fake->makeIO());
    auto player = AudioPlayerNode::make();
    engine->attach(player);
    engine->connect(player, engine->mainMixerNode(), 0, 0, std::nullopt);
    auto buffer = PCMBuffer::make(*AudioFormat::standard(44100, 2), 100);
    buffer->setFrameLength(100);
    for (std::uint32_t c = 0; c < 2; ++c)
        std::fill(buffer->floatChannelData()[c], buffer->floatChannelData()[c] + 100, 0.5f);
    player->scheduleBuffer(buffer);
    EXPECT_EQ(fake->tick(64), nullptr); // not started
    engine->start();
    player->play();
    auto out = fake->tick(128);
    ASSERT_TRUE(out);
    EXPECT_FLOAT_EQ(out->floatChannelData()[0][99], 0.5f);
    EXPECT_FLOAT_EQ(out->floatChannelData()[0][100], 0.0f);
    engine->stop();
    EXPECT_FALSE(fake->isRunning());
}

TEST(NullAudioDeviceBackend, PullsStartedEnginesAndDropsTheOutput) {
    platform::ScopedLogCapture capture;
    ManualClock clock;
    ManualSleeper sleeper(clock);
    auto null = std::make_shared<NullAudioDeviceBackend>(
        NullAudioDeviceBackend::Configuration{&clock, &sleeper, 256, 44100});
    std::vector<AudioDeviceID> ids{7};
    EXPECT_EQ(null->deviceIDs(ids), noErr);
    EXPECT_TRUE(ids.empty());

    auto engine = AudioEngine::make();
    auto io = null->makeIO();
    std::uint32_t frames = 0, device = 9;
    EXPECT_EQ(io->bufferFrameSize(frames), noErr);
    EXPECT_EQ(frames, 256u);
    EXPECT_EQ(io->currentDevice(device), noErr);
    EXPECT_EQ(device, 0u);
    engine->setIOBackend(io);
    auto player = AudioPlayerNode::make();
    engine->attach(player);
    engine->connect(player, engine->mainMixerNode(), 0, 0, std::nullopt);
    auto buffer = PCMBuffer::make(*AudioFormat::standard(44100, 2), 4410);
    buffer->setFrameLength(4410);
    std::mutex mutex;
    std::condition_variable done;
    bool completed = false;
    player->scheduleBuffer(buffer, std::nullopt, 0, AudioPlayerNode::CompletionCallbackType::dataPlayedBack,
                           [&](auto) {
                               std::lock_guard lock(mutex);
                               completed = true;
                               done.notify_all();
                           });
    const std::uint64_t before = clock.now();
    engine->start();
    player->play();
    {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(done.wait_for(lock, testwait::kDeadline, [&] { return completed; }));
    }
    engine->stop();
    EXPECT_GE(clock.now() - before, 90'000'000u); // 0.1 s of audio took 0.1 s of (manual) time
    ASSERT_FALSE(capture.entries().empty());
    EXPECT_EQ(capture.entries()[0].text,
              "No audio output device: real-time output is unavailable, the graph is rendered and discarded");
}
