#include "EngineTestSupport.h"

#include "platform/core/Sleeper.h"
#include "sonabel/internals/engine/Audition.h"

#include <chrono>

using namespace sonabel;
using namespace enginetest;

namespace {

// Plays the device while the audition waits, and notes how long it was asked to wait.
class DeviceSleeper : public platform::Sleeper {
public:
    explicit DeviceSleeper(platform::FakeAudioDeviceBackend& devices) : devices_(devices) {}
    void sleepFor(std::chrono::nanoseconds duration) override {
        waits.push_back(duration);
        runningDuringWait = devices_.isRunning();
        played = devices_.tick(1024);
    }
    std::vector<std::chrono::nanoseconds> waits;
    bool runningDuringWait = false;
    std::shared_ptr<platform::PCMBuffer> played;

private:
    platform::FakeAudioDeviceBackend& devices_;
};

std::shared_ptr<platform::PCMBuffer> constant(double seconds, float value, std::uint32_t channels = 2) {
    auto buffer = platform::PCMBuffer::make(*platform::AudioFormat::standard(44100, channels),
                                            std::uint32_t(44100 * seconds));
    buffer->setFrameLength(buffer->frameCapacity());
    for (std::uint32_t c = 0; c < channels; ++c)
        std::fill(buffer->floatChannelData()[c], buffer->floatChannelData()[c] + buffer->frameLength(),
                  value);
    return buffer;
}

class AuditionTest : public EngineTest {};

} // namespace

TEST_F(AuditionTest, PlaysTheBufferForItsDurationThenStops) {
    devices->addDevice("Speakers", {}, {2});
    DeviceSleeper sleeper(*devices);
    audition(constant(0.5, 0.25f), sleeper);
    ASSERT_EQ(sleeper.waits.size(), 1u);
    EXPECT_EQ(sleeper.waits[0], std::chrono::milliseconds(500));
    EXPECT_TRUE(sleeper.runningDuringWait);
    ASSERT_TRUE(sleeper.played);
    EXPECT_FLOAT_EQ(sleeper.played->floatChannelData()[0][0], 0.25f);
    EXPECT_FLOAT_EQ(sleeper.played->floatChannelData()[1][1023], 0.25f);
    EXPECT_FALSE(devices->isRunning());

    DeviceSleeper longer(*devices);
    audition(constant(2.5, 0.5f, 1), longer);
    ASSERT_EQ(longer.waits.size(), 1u);
    EXPECT_EQ(longer.waits[0], std::chrono::milliseconds(2500));
    ASSERT_TRUE(longer.played); // a mono buffer reaches both output channels
    EXPECT_GT(longer.played->floatChannelData()[1][100], 0.0f);
}

TEST_F(AuditionTest, NothingPlaysWhenTheEngineCannotStartOrTheBufferHasNoRate) {
    platform::ScopedLogCapture capture;
    devices->failStart("device busy");
    DeviceSleeper sleeper(*devices);
    audition(constant(0.5, 0.25f), sleeper);
    audition(nullptr, sleeper);
    EXPECT_TRUE(sleeper.waits.empty());
    ASSERT_EQ(capture.lines().size(), 2u);
    EXPECT_TRUE(isLogLine(capture.lines()[0], "Audition.cpp", "audition()", "device busy"));
    EXPECT_EQ(capture.entries()[0].level, platform::LogLevel::error);
    EXPECT_TRUE(isLogLine(capture.lines()[1], "Audition.cpp", "audition()",
                          "🛑 Error: Cannot audition a buffer without a sample rate."));
}
