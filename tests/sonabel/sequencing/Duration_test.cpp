#include "sonabel/sequencing/Duration.h"
#include "sonabel/sequencing/TimeSignature.h"

#include "platform/core/LogSink.h"
#include "sonabel/internals/settings/Settings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace sonabel;

namespace {
class DurationTest : public ::testing::Test {
protected:
    void SetUp() override { Settings::setSampleRate(44100); }
    void TearDown() override { Settings::setSampleRate(44100); }
};
} // namespace

TEST_F(DurationTest, ConversionsAtTheirBoundaries) {
    const Duration beat(1, 120);
    EXPECT_EQ(beat.samples(), 22050);
    EXPECT_EQ(beat.seconds(), 0.5);
    EXPECT_EQ(beat.minutes(), 0.5 / 60);
    EXPECT_EQ(beat.description(), "22050 samples at 44100.0 = 1.0 Beats at 120.0 BPM = 0.5s");
    EXPECT_EQ(Duration::fromSamples(44100, 44100, 60).beats, 1.0);
    const auto thirty = Duration::fromSeconds(30, 48000, 90);
    EXPECT_EQ(thirty.beats, 45.0);
    EXPECT_EQ(thirty.sampleRate, 48000.0);
    EXPECT_EQ(thirty.tempo, 90.0);
    Duration d(0, 60);
    d.setSamples(88200);
    EXPECT_EQ(d.beats, 2.0);
}

TEST_F(DurationTest, SampleCountSaturatesWithAWarning) {
    platform::ScopedLogCapture capture;
    const Duration huge(1e30);
    EXPECT_EQ(huge.samples(), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(huge.seconds(), 9223372036854775807.0 / 44100);
    Duration exact(0);
    exact.sampleRate = 1;
    exact.beats = 9223372036854775808.0; // the product is exactly 2^63
    EXPECT_EQ(exact.samples(), std::numeric_limits<std::int64_t>::max());
    Duration nan(std::nan(""));
    EXPECT_EQ(nan.samples(), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(Duration(-1e30).samples(), std::numeric_limits<std::int64_t>::min());
    ASSERT_EQ(capture.lines().size(), 4u);
    EXPECT_NE(capture.lines()[0].find(":samples:"), std::string::npos);
    EXPECT_NE(capture.lines()[0].find("Warning: Samples exceeds the maximum number."), std::string::npos);
}

TEST_F(DurationTest, ArithmeticAndComparisonUseBeatsOnly) {
    const Duration a(120, 60), b(120, 140);
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a < b || b < a);
    const auto diff = Duration(3, 90) - Duration(1, 120);
    EXPECT_EQ(diff.beats, 2.0);
    EXPECT_EQ(diff.tempo, 90.0);
    EXPECT_EQ((Duration(-7) % Duration(3)).beats, -1.0);
    const auto up = ceil(Duration(2.0001, 90));
    EXPECT_EQ(up.beats, 3.0);
    EXPECT_EQ(up.tempo, 90.0);
    const Duration nan(std::nan(""));
    EXPECT_TRUE(nan <= a && nan >= a);
    EXPECT_FALSE(nan < a || nan > a || nan == a);
    Duration sum(1);
    sum += Duration(2);
    sum -= Duration(0.5);
    EXPECT_EQ(sum.beats, 2.5);
}

TEST_F(DurationTest, SampleRateIsTakenAtConstruction) {
    const Duration before(1);
    Settings::setSampleRate(48000);
    const Duration after(1);
    EXPECT_EQ(before.sampleRate, 44100.0);
    EXPECT_EQ(after.sampleRate, 48000.0);
    EXPECT_EQ(after.tempo, 60.0);
}

TEST(TimeSignatureTest, BottomValuesDescriptionsAndEquality) {
    using B = TimeSignature::TimeSignatureBottomValue;
    EXPECT_FALSE(TimeSignature::bottomValueFromRawValue(0));
    EXPECT_FALSE(TimeSignature::bottomValueFromRawValue(5));
    EXPECT_EQ(TimeSignature::bottomValueFromRawValue(3), B::eight);
    const TimeSignature threeEight{3, B::eight};
    EXPECT_EQ(threeEight.description(), "3/8");
    EXPECT_EQ(threeEight.readableValues(), std::make_pair(3, 8));
    EXPECT_EQ((TimeSignature{0}.description()), "0/4");
    EXPECT_EQ((TimeSignature{255}.description()), "255/4");
    EXPECT_NE((TimeSignature{6, B::eight}), (TimeSignature{3, B::four}));
    EXPECT_EQ((TimeSignature{6, B::eight}), (TimeSignature{6, B::eight}));
    const TimeSignature defaults;
    EXPECT_EQ(defaults.description(), "4/4");
    EXPECT_EQ(TimeSignature{}.bottomValue, B::four);
}
