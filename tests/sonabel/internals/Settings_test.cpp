#include "sonabel/internals/settings/Settings.h"

#include <gtest/gtest.h>

#include <thread>

using namespace sonabel;
using BL = Settings::BufferLength;

namespace {
struct RestoreFormat {
    platform::AudioFormat saved = Settings::audioFormat();
    ~RestoreFormat() { Settings::setAudioFormat(saved); }
};
} // namespace

TEST(Settings, Defaults) {
    EXPECT_EQ(Settings::sampleRate(), 44100.0);
    EXPECT_EQ(Settings::channelCount(), 2u);
    EXPECT_EQ(Settings::recorderBufferLength().samplesCount(), 1024u);
    EXPECT_EQ(Settings::defaultBufferLength(), BL::veryLong);
    EXPECT_TRUE(Settings::loggingEnabled());
    EXPECT_FALSE(Settings::waitBeforeRecorderStop());
    EXPECT_EQ(Settings::defaultAudioFormat(), Settings::audioFormat());
}

TEST(Settings, RateAndChannelChangesKeepEachOther) {
    RestoreFormat restore;
    Settings::setSampleRate(48000);
    EXPECT_EQ(Settings::channelCount(), 2u);
    EXPECT_EQ(Settings::sampleRate(), 48000.0);
    Settings::setChannelCount(1);
    EXPECT_EQ(Settings::sampleRate(), 48000.0);
    EXPECT_EQ(Settings::channelCount(), 1u);
    EXPECT_DOUBLE_EQ(BL(BL::veryLong).duration(), 1024.0 / 48000.0);
    Settings::setChannelCount(64);
    EXPECT_EQ(Settings::channelCount(), 64u);
}

TEST(Settings, RefusedFormatsLeaveTheEmptyFormat) {
    RestoreFormat restore;
    for (double bad :
         {0.0, -44100.0, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
        Settings::setAudioFormat(Settings::defaultAudioFormat());
        Settings::setSampleRate(bad);
        EXPECT_TRUE(Settings::audioFormat().isEmpty()) << bad;
        EXPECT_EQ(Settings::channelCount(), 0u);
    }
    for (std::uint32_t bad : {0u, 65u}) {
        Settings::setAudioFormat(Settings::defaultAudioFormat());
        Settings::setChannelCount(bad);
        EXPECT_TRUE(Settings::audioFormat().isEmpty()) << bad;
        EXPECT_EQ(Settings::sampleRate(), 0.0);
    }
}

TEST(Settings, BufferLengths) {
    EXPECT_FALSE(BL::fromRawValue(4));
    EXPECT_FALSE(BL::fromRawValue(13));
    EXPECT_EQ(BL::fromRawValue(10), BL::veryLong);
    EXPECT_EQ(BL::fromSamplesCount(512), BL::long_);
    EXPECT_FALSE(BL::fromSamplesCount(500));
    EXPECT_FALSE(BL::fromSamplesCount(8192));
    EXPECT_FALSE(BL::fromSamplesCount(-32));
    EXPECT_EQ(BL::fromSamplesCount(32), BL::shortest);
    EXPECT_EQ(BL(BL::longest).samplesCount(), 4096u);
    ASSERT_EQ(BL::allCases.size(), 8u);
    std::uint32_t expected = 32;
    for (auto c : BL::allCases) {
        EXPECT_EQ(BL(c).samplesCount(), expected);
        EXPECT_EQ(BL::fromSamplesCount(expected), c);
        expected *= 2;
    }
    EXPECT_NEAR(BL(BL::veryLong).duration(), 0.0232, 0.0001);
}

TEST(Settings, SwitchesAndLengthsAreSettable) {
    Settings::setRecorderBufferLength(BL::medium);
    EXPECT_EQ(Settings::recorderBufferLength().samplesCount(), 256u);
    Settings::setRecorderBufferLength(BL::veryLong);
    Settings::setDefaultBufferLength(BL::huge);
    EXPECT_EQ(Settings::defaultBufferLength(), BL::huge);
    Settings::setDefaultBufferLength(BL::veryLong);
    Settings::setWaitBeforeRecorderStop(true);
    EXPECT_TRUE(Settings::waitBeforeRecorderStop());
    Settings::setWaitBeforeRecorderStop(false);
}

TEST(Settings, FormatReadsAndWritesFromManyThreads) {
    RestoreFormat restore;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 500; ++i) {
                if (t % 2) Settings::setSampleRate(t * 1000.0 + i + 1);
                auto f = Settings::audioFormat();
                EXPECT_TRUE(f.isEmpty() || f.channelCount() == 2u);
            }
        });
    }
    for (auto& th : threads)
        th.join();
}
