#include "platform/audio/AudioFormat.h"
#include "platform/audio/AudioTime.h"
#include "platform/audio/PCMBuffer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace platform;
using CF = AudioFormat::CommonFormat;

TEST(AudioFormat, MakeRefusesWhatThePlatformRefuses) {
    EXPECT_FALSE(AudioFormat::standard(0, 2));
    EXPECT_FALSE(AudioFormat::standard(-1, 2));
    EXPECT_FALSE(AudioFormat::standard(std::nan(""), 2));
    EXPECT_FALSE(AudioFormat::standard(std::numeric_limits<double>::infinity(), 2));
    EXPECT_FALSE(AudioFormat::standard(44100, 0));
    EXPECT_FALSE(AudioFormat::standard(44100, 65));
    EXPECT_FALSE(AudioFormat::make(CF::otherFormat, 44100, 2, false));
    EXPECT_TRUE(AudioFormat::standard(44100, 64));
    EXPECT_TRUE(AudioFormat{}.isEmpty());
}

TEST(AudioFormat, LayoutTagsSettingsAndDescription) {
    auto stereo = *AudioFormat::standard(44100, 2);
    EXPECT_TRUE(stereo.isStandard());
    EXPECT_EQ(stereo.channelLayoutTag(), AudioFormat::kAudioChannelLayoutTag_Stereo);
    EXPECT_EQ(AudioFormat::standard(48000, 1)->channelLayoutTag(), AudioFormat::kAudioChannelLayoutTag_Mono);
    EXPECT_EQ(AudioFormat::standard(48000, 6)->channelLayoutTag(), (147u << 16) | 6);
    EXPECT_EQ(stereo.description(), "<AudioFormat 2 ch, 44100.0 Hz, Float32, deinterleaved>");

    auto int16 = *AudioFormat::make(CF::pcmFormatInt16, 22050, 2, true);
    EXPECT_FALSE(int16.isStandard());
    EXPECT_EQ(int16.description(), "<AudioFormat 2 ch, 22050.0 Hz, Int16, interleaved>");
    auto settings = int16.settings();
    EXPECT_EQ(settings.at("AVLinearPCMBitDepthKey"), 16);
    EXPECT_EQ(settings.at("AVLinearPCMIsFloatKey"), 0);
    EXPECT_EQ(settings.at("AVLinearPCMIsNonInterleaved"), 0);
    EXPECT_EQ(AudioFormat::fromSettings(settings), int16);
    EXPECT_EQ(AudioFormat::fromSettings(stereo.settings()), stereo);
    EXPECT_FALSE(AudioFormat::fromSettings({{"AVFormatIDKey", 1}}));
    EXPECT_FALSE(AudioFormat::fromSettings({{"AVNumberOfChannelsKey", 1.5}}));
    EXPECT_FALSE(AudioFormat::fromSettings({{"AVLinearPCMBitDepthKey", 12}}));
    // A single channel is never interleaved.
    EXPECT_FALSE(AudioFormat::make(CF::pcmFormatFloat32, 44100, 1, true)->isInterleaved());
}

TEST(PCMBuffer, CapacityLengthClampAndStride) {
    auto buffer = PCMBuffer::make(*AudioFormat::standard(44100, 2), 512);
    ASSERT_TRUE(buffer);
    EXPECT_EQ(buffer->frameCapacity(), 512u);
    EXPECT_EQ(buffer->frameLength(), 0u);
    buffer->setFrameLength(600);
    EXPECT_EQ(buffer->frameLength(), 512u);
    EXPECT_EQ(buffer->stride(), 1u);
    ASSERT_NE(buffer->floatChannelData(), nullptr);
    EXPECT_EQ(buffer->int16ChannelData(), nullptr);
    float* const* ch = buffer->floatChannelData();
    EXPECT_EQ(ch[1] - ch[0], 512);
    EXPECT_EQ(ch[0][0], 0.0f);
    ch[1][511] = 1.0f; // the last sample belongs to the buffer

    auto interleaved = PCMBuffer::make(*AudioFormat::make(CF::pcmFormatInt16, 44100, 3, true), 10);
    ASSERT_TRUE(interleaved);
    EXPECT_EQ(interleaved->stride(), 3u);
    ASSERT_NE(interleaved->int16ChannelData(), nullptr);
    interleaved->int16ChannelData()[0][29] = 7;
    interleaved->clear();
    EXPECT_EQ(interleaved->int16ChannelData()[0][29], 0);
}

TEST(PCMBuffer, RefusesEmptyFormatsAndImpossibleSizes) {
    EXPECT_FALSE(PCMBuffer::make(AudioFormat{}, 10));
    EXPECT_FALSE(
        PCMBuffer::make(*AudioFormat::standard(44100, 64), std::numeric_limits<std::uint32_t>::max()));
    auto empty = PCMBuffer::make(*AudioFormat::standard(44100, 1), 0);
    ASSERT_TRUE(empty);
    empty->setFrameLength(5);
    EXPECT_EQ(empty->frameLength(), 0u);
}

TEST(AudioTime, ValidityAndConversions) {
    auto host = AudioTime::withHostTime(5);
    EXPECT_TRUE(host.isHostTimeValid());
    EXPECT_FALSE(host.isSampleTimeValid());
    auto sample = AudioTime::withSampleTime(1000, 1000);
    EXPECT_FALSE(sample.isHostTimeValid());
    EXPECT_EQ(sample.sampleTime(), 1000);
    EXPECT_EQ(AudioTime::hostTimeForSeconds(1.5), 1'500'000'000u);
    EXPECT_EQ(AudioTime::hostTimeForSeconds(-1), 0u);
    EXPECT_EQ(AudioTime::hostTimeForSeconds(std::nan("")), 0u);
    EXPECT_EQ(AudioTime::hostTimeForSeconds(1e30), std::numeric_limits<std::uint64_t>::max());
    EXPECT_DOUBLE_EQ(AudioTime::secondsForHostTime(250'000'000), 0.25);
    EXPECT_EQ(AudioTime::withHostAndSampleTime(1, 2, 3.0).description(),
              "<AudioTime host 1 sample 2 @ 3.0 Hz>");
}
