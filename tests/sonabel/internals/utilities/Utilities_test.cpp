#include "platform/audio/AudioFile.h"
#include "platform/core/LogSink.h"
#include "sonabel/internals/utilities/AppendFrames.h"
#include "sonabel/internals/utilities/AudioSignal.h"
#include "sonabel/internals/utilities/AudioTimeUtilities.h"
#include "sonabel/internals/utilities/CollectionUtilities.h"
#include "sonabel/internals/utilities/Downsample.h"
#include "sonabel/internals/utilities/FourCharCode.h"
#include "sonabel/internals/utilities/MathUtilities.h"
#include "sonabel/internals/utilities/SplitComplexBuffers.h"
#include "sonabel/internals/utilities/TitleCasedWords.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <set>

using namespace sonabel;
using platform::AudioTime;

namespace {
bool endsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}
// "File.cpp:function:line:content (File.cpp:function:line)" whatever the line.
bool isLine(const std::string& line, const std::string& file, const std::string& function,
            const std::string& content) {
    const std::string prefix = file + ":" + function + ":";
    if (line.rfind(prefix, 0) != 0) return false;
    const auto colon = line.find(':', prefix.size());
    const std::string where = prefix + line.substr(prefix.size(), colon - prefix.size());
    return line == where + ":" + content + " (" + where + ")";
}
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
} // namespace

TEST(FourCharCode, BytesMostSignificantFirst) {
    EXPECT_EQ(fourCharCode("abcd"), 0x61626364u);
    EXPECT_EQ(fourCharCode("aufx"), 0x61756678u);
}

TEST(FourCharCodeDeathTest, WrongLengthIsFatal) {
    EXPECT_DEATH(fourCharCode("abc"), "exactly 4 bytes");
    EXPECT_DEATH(fourCharCode("abcde"), "exactly 4 bytes");
}

TEST(MathUtilities, TapersNotesAndMaps) {
    EXPECT_EQ(midiNoteToFrequency(69, 440.0), 440.0);
    EXPECT_EQ(midiNoteToFrequency(std::uint8_t(81), 440.0), 880.0);
    EXPECT_DOUBLE_EQ(midiNoteToFrequency(57.0f, 440.0), 220.0);
    EXPECT_FLOAT_EQ(frequencyToMIDINote(220, 440.0), 57.0f);
    EXPECT_FLOAT_EQ(normalized(5, 0, 10, 1), 0.5f);
    EXPECT_FLOAT_EQ(normalized(5, 0, 10, 2), std::sqrt(0.5f));
    EXPECT_FLOAT_EQ(denormalized(normalized(5, 0, 10, 2), 0, 10, 2), 5.0f);
    EXPECT_DOUBLE_EQ(mapLinear(5, 0, 10, 100, 200), 150);
    EXPECT_DOUBLE_EQ(mapLinearReversed(2, 0, 10, 100, 200), 180);
    EXPECT_DOUBLE_EQ(mapLogarithmicInput(100, 10, 1000, 0, 1), 0.5);
    EXPECT_EQ(mapLogarithmicInput(0, 10, 1000, 0, 1), -std::numeric_limits<double>::infinity());
    EXPECT_EQ(mapLogarithmicInput(-1, 10, 1000, 0, 1), 0.0); // not a number becomes 0
    EXPECT_NEAR(mapExponentialOutput(0.5, 0, 1, 10, 1000), 100, 1e-9);
    EXPECT_DOUBLE_EQ(mapIntegerInput(std::numeric_limits<std::int64_t>::max(),
                                     std::numeric_limits<std::int64_t>::min(),
                                     std::numeric_limits<std::int64_t>::max(), 0, 1),
                     1.0);
}

TEST(AudioTimeUtilities, OffsetsSaturateAndIgnoreNonFiniteSeconds) {
    EXPECT_EQ(secondsPerHostTick(), 1e-9);
    auto sampleOnly = offset(AudioTime::withSampleTime(1000, 1000), 0.5);
    EXPECT_EQ(sampleOnly.sampleTime(), 1500);
    EXPECT_FALSE(sampleOnly.isHostTimeValid());
    auto both = AudioTime::withHostAndSampleTime(2'000'000'000, 100, 44100) - 1;
    EXPECT_EQ(both.hostTime(), 1'000'000'000u);
    EXPECT_EQ(both.sampleTime(), 100 - 44100);
    EXPECT_EQ((AudioTime::withHostTime(5) - 1.0).hostTime(), 0u);
    EXPECT_EQ((AudioTime::withHostTime(kMax - 5) + 1.0).hostTime(), kMax);
    EXPECT_EQ((AudioTime::withHostTime(5) + 1e300).hostTime(), kMax);
    EXPECT_EQ(AudioTime::withHostTime(5) + std::nan(""), AudioTime::withHostTime(5));
    EXPECT_EQ(AudioTime::withHostTime(5) + std::numeric_limits<double>::infinity(),
              AudioTime::withHostTime(5));
    EXPECT_EQ(offset(AudioTime(), 3), AudioTime());
    EXPECT_EQ(audioTimeWithHostTime(10, 1.5).hostTime(), 1'500'000'010u);
    EXPECT_EQ(audioTimeWithHostTime(10, -1).hostTime(), 0u);
    EXPECT_EQ(audioTimeWithHostTime(10, std::nan("")).hostTime(), 10u);
    EXPECT_TRUE(audioTimeNow().isHostTimeValid());
}

TEST(AudioTimeUtilities, IntervalsAndExtrapolationUseSignedDifferences) {
    auto anchor = AudioTime::withHostAndSampleTime(1'000'000'000, 1000, 1000);
    EXPECT_DOUBLE_EQ(secondsSince(AudioTime::withHostTime(1'000'000'000), 3'000'000'000), -2.0);
    EXPECT_EQ(secondsSince(AudioTime::withSampleTime(1, 1), 3), 0.0);
    auto earlier = extrapolatedTime(AudioTime::withHostTime(500'000'000), anchor);
    EXPECT_EQ(earlier.sampleTime(), 500);
    EXPECT_EQ(earlier.sampleRate(), 1000);
    auto later = extrapolatedTime(AudioTime::withSampleTime(3000, 1000), anchor);
    EXPECT_EQ(later.hostTime(), 3'000'000'000u);
    EXPECT_EQ(extrapolatedTime(AudioTime::withHostTime(1), AudioTime::withHostTime(2)),
              AudioTime::withHostTime(1));
    EXPECT_DOUBLE_EQ(
        *timeIntervalSince(AudioTime::withHostTime(1'000'000'000), AudioTime::withHostTime(3'000'000'000)),
        -2.0);
    EXPECT_DOUBLE_EQ(
        *timeIntervalSince(AudioTime::withSampleTime(500, 1000), AudioTime::withSampleTime(1500, 1000)),
        -1.0);
    EXPECT_DOUBLE_EQ(*timeIntervalSince(anchor, AudioTime::withHostTime(500'000'000)), 0.5);
    EXPECT_FALSE(timeIntervalSince(AudioTime::withHostTime(1), AudioTime::withSampleTime(1, 1000)));
    EXPECT_FALSE(timeIntervalSince(AudioTime::withSampleTime(1, 0), AudioTime::withSampleTime(2, 0)));
}

TEST(Downsample, AveragesPairsAndRefusesBadArguments) {
    std::vector<float> ten{0, 2, 4, 6, 8, 10, 12, 14, 16, 18};
    EXPECT_EQ(downsample(ten, 5), (std::vector<float>{1, 5, 9, 13}));
    platform::ScopedLogCapture capture;
    EXPECT_TRUE(downsample(ten, 0).empty());
    EXPECT_TRUE(downsample(ten, -4).empty());
    EXPECT_TRUE(downsample(ten, 11).empty());
    EXPECT_TRUE(downsample({1.0f}, 1).empty());
    ASSERT_EQ(capture.lines().size(), 4u);
    for (const auto& line : capture.lines())
        EXPECT_TRUE(isLine(line, "Downsample.cpp", "downsample(_:sampleCount:)",
                           "Error in downsample: invalid arguments"))
            << line;
}

TEST(TextAndCollections, TitleCaseZerosAndContainment) {
    EXPECT_EQ(titleCasedWords("sampleRate"), "Sample Rate");
    EXPECT_EQ(titleCasedWords("SampleRateValue"), "Sample Rate Value");
    EXPECT_EQ(titleCasedWords("  lower case  "), "Lower Case");
    EXPECT_EQ(zeros<std::vector<int>>(3), (std::vector<int>{0, 0, 0}));
    EXPECT_TRUE(isNotEmpty(std::string("x")));
    EXPECT_TRUE(isEmpty(std::set<int>{}));
    EXPECT_TRUE(doesNotContain(std::vector<int>{1, 2}, 3));
    EXPECT_FALSE(doesNotContain(std::vector<int>{1, 2}, 2));
    auto split = makeSplitComplexBuffers(4, 1.5f, -2.0f);
    ASSERT_TRUE(split.realp && split.imagp);
    EXPECT_EQ(split.realp[3], 1.5f);
    EXPECT_EQ(split.imagp[0], -2.0f);
    releaseSplitComplexBuffers(split);
    EXPECT_EQ(split.realp, nullptr);
    auto same = makeSplitComplexBuffers(2, 7.0f);
    EXPECT_EQ(same.imagp[1], 7.0f);
    releaseSplitComplexBuffers(same);
}

TEST(AppendFrames, CopiesSharedChannelsAndRefusesWhatDoesNotFit) {
    auto source = platform::PCMBuffer::make(*platform::AudioFormat::standard(44100, 2), 8);
    for (std::uint32_t i = 0; i < 8; ++i) {
        source->floatChannelData()[0][i] = float(i);
        source->floatChannelData()[1][i] = -float(i);
    }
    source->setFrameLength(8);
    auto receiver = platform::PCMBuffer::make(*platform::AudioFormat::standard(44100, 2), 10);
    appendFrames(*receiver, *source, 2, 4);
    appendFrames(*receiver, *source, 0, 3);
    ASSERT_EQ(receiver->frameLength(), 7u);
    EXPECT_EQ(receiver->floatChannelData()[0][0], 2.0f);
    EXPECT_EQ(receiver->floatChannelData()[1][3], -5.0f);
    EXPECT_EQ(receiver->floatChannelData()[0][6], 2.0f);

    platform::ScopedLogCapture capture;
    appendFrames(*receiver, *source, 0, 4);  // no room
    appendFrames(*receiver, *source, 6, 3);  // past the source
    appendFrames(*receiver, *source, -1, 1); // before it
    EXPECT_EQ(receiver->frameLength(), 7u);
    ASSERT_EQ(capture.lines().size(), 3u);
    EXPECT_TRUE(isLine(capture.lines()[0], "AppendFrames.cpp", "appendFrames(from:startingFrame:frameCount:)",
                       "Error in appendFrames: start 0 count 4 do not fit source length 8 or capacity 10"));

    auto mono = platform::PCMBuffer::make(*platform::AudioFormat::standard(44100, 1), 4);
    appendFrames(*mono, *source, 5, 2);
    EXPECT_EQ(mono->frameLength(), 2u);
    EXPECT_EQ(mono->floatChannelData()[0][1], 6.0f);
}

TEST(LoadAudioSignal, ReadsTheFirstChannelOrSaysWhy) {
    const auto path = (std::filesystem::temp_directory_path() / "sonabel-load-signal.wav").string();
    auto buffer = platform::PCMBuffer::make(*platform::AudioFormat::standard(22050, 2), 100);
    for (std::uint32_t i = 0; i < 100; ++i) {
        buffer->floatChannelData()[0][i] = float(i) / 128.0f;
        buffer->floatChannelData()[1][i] = -1;
    }
    buffer->setFrameLength(100);
    platform::AudioFile::forWriting(path, {{"AVSampleRateKey", 22050}, {"AVNumberOfChannelsKey", 2}})
        ->write(*buffer);
    auto signal = loadAudioSignal(path);
    ASSERT_TRUE(signal);
    EXPECT_EQ(signal->sampleRate, 22050);
    EXPECT_EQ(signal->frameCount, 100);
    ASSERT_EQ(signal->signal.size(), 100u);
    EXPECT_EQ(signal->signal[99], 99.0f / 128.0f);
    std::filesystem::remove(path);

    platform::ScopedLogCapture capture;
    EXPECT_FALSE(loadAudioSignal(path));
    EXPECT_FALSE(loadAudioSignal(""));
    ASSERT_EQ(capture.lines().size(), 2u);
    EXPECT_TRUE(isLine(capture.lines()[0], "AudioSignal.cpp", "loadAudioSignal(audioURL:)",
                       "Error in Load Audio Signal: could not read url into audio file"));
    EXPECT_EQ(capture.entries()[0].level, platform::LogLevel::error);
    EXPECT_TRUE(endsWith(capture.lines()[1], ")"));
}
