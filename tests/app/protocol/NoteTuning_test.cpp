#include "app/protocol/NoteTuning.h"
#include "app/protocol/SysExFraming.h"
#include "app/protocol/TuningStep.h"

#include "testing/HexBytes.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>

using namespace malvo;
using malvo::test::hex;

namespace {

std::vector<std::uint8_t> tuning(std::uint8_t model, std::uint8_t key, double pitch) {
    return singleNoteTuningMessage(model, key, pitch).value_or(std::vector<std::uint8_t>{});
}

std::array<std::uint8_t, 3> pitchBytes(double pitch) {
    return mtsPitchBytes(pitch).value();
}

} // namespace

TEST(NoteTuning, SingleNoteTuningChangeInBothFramings) {
    EXPECT_EQ(tuning(2, 60, 60.5), hex("F0 7F 02 08 02 00 01 3C 3C 40 00 F7"));
    EXPECT_EQ(frameSysEx(tuning(3, 60, 60.5), SysExFraming::withManufacturerID),
              hex("F0 00 66 2B 7F 03 08 02 00 01 3C 3C 40 00 F7"));
    for (int k = 0; k < 128; ++k) {
        const auto key = static_cast<std::uint8_t>(k);
        EXPECT_EQ(tuning(2, key, k),
                  (std::vector<std::uint8_t>{0xF0, 0x7F, 2, 8, 2, 0, 1, key, key, 0, 0, 0xF7}));
    }
    EXPECT_EQ(pitchFromMTS(0x3C, 0x40, 0x00), 60.5);
}

TEST(NoteTuning, PitchesOutsideTheMessageAreClampedAndNonNumbersNotSent) {
    using B = std::array<std::uint8_t, 3>;
    EXPECT_EQ(pitchBytes(0.0), (B{0, 0, 0}));
    EXPECT_EQ(pitchBytes(-0.5), (B{0, 0, 0}));
    EXPECT_EQ(pitchBytes(-1e308), (B{0, 0, 0}));
    EXPECT_EQ(pitchBytes(127.0 + 16382.0 / 16384), (B{0x7F, 0x7F, 0x7E}));
    EXPECT_EQ(pitchBytes(127.0 + 16383.0 / 16384), (B{0x7F, 0x7F, 0x7E})) << "7F 7F 7F means no change";
    EXPECT_EQ(pitchBytes(128.0), (B{0x7F, 0x7F, 0x7E}));
    EXPECT_EQ(pitchBytes(1e300), (B{0x7F, 0x7F, 0x7E}));
    EXPECT_EQ(pitchBytes(120.1), (B{0x78, 0x0C, 0x66}));
    EXPECT_FALSE(mtsPitchBytes(std::numeric_limits<double>::quiet_NaN()));
    EXPECT_FALSE(mtsPitchBytes(std::numeric_limits<double>::infinity()));
    EXPECT_FALSE(mtsPitchBytes(-std::numeric_limits<double>::infinity()));
    EXPECT_FALSE(singleNoteTuningMessage(2, 128, 60.0)) << "not a key";
    EXPECT_FALSE(singleNoteTuningMessage(2, 150, 60.0)) << "no key held";
    EXPECT_FALSE(singleNoteTuningMessage(2, 60, std::nan("")));
}

TEST(NoteTuning, StepsOfATenthAndAHundredth) {
    const double sent = TuningStep::increase.pitchSent(60.0);
    EXPECT_EQ(tuning(2, 60, sent), hex("F0 7F 02 08 02 00 01 3C 3C 0C 66 F7")) << "fraction 1638";
    EXPECT_EQ(frequencyText(TuningStep::increase.pitchShown(60.0)), "526.282");
    EXPECT_EQ(pitchText(TuningStep::increase.pitchShown(60.0)), "60.1");

    EXPECT_EQ(pitchBytes(TuningStep::plus001.pitchSent(60.0)),
              (std::array<std::uint8_t, 3>{0x3C, 0x01, 0x23}));
    EXPECT_EQ(TuningStep::minus001.pitchSent(60.0), 60.0 - 0.01);
    EXPECT_EQ(TuningStep::decrease.pitchShown(61.0), 61.0 - 0.1);
}

TEST(NoteTuning, StepsAtTheEndsOfTheRange) {
    EXPECT_EQ(TuningStep::increase.pitchSent(120.0), 120.0 + 0.1);
    EXPECT_EQ(TuningStep::increase.pitchShown(120.0), 120.0) << "so every further press sends 120.1 again";
    EXPECT_EQ(TuningStep::plus001.pitchShown(119.995), 120.0);
    EXPECT_EQ(TuningStep::plus001.pitchSent(119.995), 119.995 + 0.01);
    EXPECT_EQ(TuningStep::decrease.pitchSent(0.05), 0.0);
    EXPECT_EQ(TuningStep::decrease.pitchShown(0.05), 0.0);
    EXPECT_EQ(TuningStep::minus001.pitchSent(0.005), 0.0);
    EXPECT_EQ(TuningStep::minus001.pitchSent(0.0), 0.0);
    const double nan = std::nan("");
    EXPECT_TRUE(std::isnan(TuningStep::increase.pitchSent(nan)));
    EXPECT_TRUE(std::isnan(TuningStep::decrease.pitchShown(nan)));
    EXPECT_FALSE(singleNoteTuningMessage(2, 60, TuningStep::decrease.pitchSent(nan)));
}

TEST(NoteTuning, FrequencyTextsWithKey57At440) {
    EXPECT_EQ(frequencyText(57.0), "440.0");
    EXPECT_EQ(frequencyText(69.0), "880.0");
    EXPECT_EQ(frequencyText(60.0), "523.251");
    EXPECT_EQ(frequencyText(60.1), "526.282");
    EXPECT_EQ(frequencyOfPitch(45.0), 220.0);
    EXPECT_EQ(pitchText(60.5), "60.5");
    EXPECT_EQ(pitchText(60.0), "60.0");
    EXPECT_NO_FATAL_FAILURE(frequencyText(std::nan("")));
    EXPECT_EQ(frequencyText(1e6), "inf");

    const char* old = std::setlocale(LC_ALL, nullptr);
    const std::string saved = old ? old : "C";
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") || std::setlocale(LC_ALL, "fr_FR.UTF-8")) {
        EXPECT_EQ(frequencyText(60.1), "526.282");
        EXPECT_EQ(pitchText(60.5), "60.5");
    }
    std::setlocale(LC_ALL, saved.c_str());
}
