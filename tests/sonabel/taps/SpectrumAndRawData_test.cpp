#include "TapTestSupport.h"

#include "sonabel/taps/FFTTap.h"
#include "sonabel/taps/RawDataTap.h"

#include <algorithm>
#include <cmath>
#include <numbers>

using namespace sonabel;
using namespace taptest;

namespace {

class SpectrumTest : public TapTest {};

const platform::AudioFormat mono = *platform::AudioFormat::standard(44100, 1);

// amplitude · sin at a whole number of cycles per `period` frames.
std::shared_ptr<platform::PCMBuffer> sine(std::uint32_t frames, double cycles, std::uint32_t period,
                                          float amplitude) {
    return makeBuffer(mono, frames, [=](auto, std::uint32_t i) {
        return amplitude * float(std::sin(2 * std::numbers::pi * cycles * double(i) / double(period)));
    });
}

std::size_t largestBin(const std::vector<float>& v) {
    return std::size_t(std::max_element(v.begin(), v.end()) - v.begin());
}

} // namespace

TEST(FFTValidBinCountTest, RawValues) {
    EXPECT_EQ(FFTValidBinCount::fromRawValue(1024), FFTValidBinCount::oneThousandAndTwentyFour);
    EXPECT_EQ(FFTValidBinCount::fromRawValue(2), FFTValidBinCount::two);
    EXPECT_EQ(FFTValidBinCount::fromRawValue(8192), FFTValidBinCount::eightThousandOneHundredAndNintyTwo);
    for (double bad : {1000.0, 1.0, 0.0, 16384.0, 1024.5, -2.0})
        EXPECT_FALSE(FFTValidBinCount::fromRawValue(bad)) << bad;
    const FFTTap::FFTSetupForBinCount setup(FFTValidBinCount::fiveHundredAndTwelve);
    EXPECT_EQ(setup.log2n, 9u);
    EXPECT_EQ(setup.binCount, 512);
}

TEST(FFTComputeTest, PowerOfAToneInTheNormalisedWindow) {
    // The window 0.8165 · (1 − cos) keeps 2 · 0.8165 · A in the tone's bin and half that in each
    // neighbour: for A = 0.5, squared, 0.6667 and 0.1667.
    auto buffer = sine(1024, 32, 1024, 0.5f);
    auto power = FFTTap::computeFFT(*buffer, false, 0, std::nullopt);
    ASSERT_EQ(power.size(), 512u);
    EXPECT_NEAR(power[32], 0.6667f, 1e-4);
    EXPECT_NEAR(power[31], 0.1667f, 1e-4);
    EXPECT_NEAR(power[33], 0.1667f, 1e-4);
    EXPECT_NEAR(power[200], 0.0f, 1e-6);

    auto normalized = FFTTap::computeFFT(*buffer, true, 0, std::nullopt);
    EXPECT_EQ(largestBin(normalized), 32u);
    EXPECT_FLOAT_EQ(normalized[32], 1.0f);
    EXPECT_NEAR(normalized[31], 0.25f, 1e-5);
}

TEST(FFTComputeTest, BinZeroHoldsTheZeroFrequencyAndNyquistTerms) {
    // DC 0.25 gives (4 · 0.8165 · 0.25)² = 0.6667, a Nyquist tone of 0.125 gives 0.1667.
    auto buffer =
        makeBuffer(mono, 1024, [](auto, std::uint32_t i) { return 0.25f + (i % 2 ? -0.125f : 0.125f); });
    auto power = FFTTap::computeFFT(*buffer, false, 0, std::nullopt);
    ASSERT_EQ(power.size(), 512u);
    EXPECT_NEAR(power[0], 0.8333f, 1e-4);
    EXPECT_NEAR(power[1], 0.1667f, 1e-4); // the window spreads DC into bin 1
}

TEST(FFTComputeTest, TransformSizes) {
    auto b4096 = sine(4096, 16, 1024, 0.5f);
    EXPECT_EQ(FFTTap::computeFFT(*b4096, true, 1, std::nullopt).size(), 4096u);
    const FFTTap::FFTSetupForBinCount s512(FFTValidBinCount::fiveHundredAndTwelve);
    const FFTTap::FFTSetupForBinCount s8192(FFTValidBinCount::eightThousandOneHundredAndNintyTwo);
    EXPECT_EQ(FFTTap::computeFFT(*b4096, true, 0, s8192).size(), 2048u);
    // Rounded to the nearest power of two, halves away from zero.
    EXPECT_EQ(FFTTap::computeFFT(*sine(2896, 1, 2896, 1), true, 0, std::nullopt).size(), 1024u);
    EXPECT_EQ(FFTTap::computeFFT(*sine(2897, 1, 2897, 1), true, 0, std::nullopt).size(), 2048u);
    // Sizes with no transform give nothing and say why.
    platform::ScopedLogCapture capture;
    EXPECT_TRUE(FFTTap::computeFFT(*sine(1, 0, 1, 1), true, 0, std::nullopt).empty());
    auto empty = platform::PCMBuffer::make(mono, 16);
    EXPECT_TRUE(FFTTap::computeFFT(*empty, true, 0, std::nullopt).empty());
    // A padding factor whose frame count passes 32 bits is refused, not wrapped round.
    EXPECT_TRUE(FFTTap::computeFFT(*b4096, true, 0xFFFFFFFFu, std::nullopt).empty());
    const std::string function = "computeFFT(buffer:isNormalized:zeroPaddingFactor:fftSetupForBinCount:)";
    ASSERT_EQ(capture.lines().size(), 3u);
    EXPECT_TRUE(isLogLine(capture.lines()[0], "FFTTap.cpp", function,
                          "🛑 No spectrum: a transform of 2^0 points for 1 frames is outside 2^1...2^24"));
    EXPECT_TRUE(isLogLine(capture.lines()[1], "FFTTap.cpp", function,
                          "🛑 No spectrum: the buffer holds no frames"));
    EXPECT_TRUE(isLogLine(capture.lines()[2], "FFTTap.cpp", function,
                          "🛑 No spectrum: 4096 frames padded by 4294967295 exceed a 32-bit frame count"));

    // The 512-bin set-up reads only the first 1024 samples.
    auto mixed = makeBuffer(mono, 4096, [](auto, std::uint32_t i) {
        return i < 1024 ? 0.5f * float(std::sin(2 * std::numbers::pi * 16 * i / 1024.0))
                        : (i % 3 ? 0.9f : -0.9f);
    });
    auto fixed = FFTTap::computeFFT(*mixed, false, 0, s512);
    ASSERT_EQ(fixed.size(), 512u);
    EXPECT_NEAR(fixed[16], 0.6667f, 1e-4);
    EXPECT_NEAR(fixed[17], 0.1667f, 1e-4);

    // Padding is zeros after the signal: the same as a buffer that carries those zeros itself.
    auto padded = makeBuffer(
        mono, 8192, [&](auto, std::uint32_t i) { return i < 4096 ? b4096->floatChannelData()[0][i] : 0.0f; });
    EXPECT_EQ(FFTTap::computeFFT(*b4096, false, 1, std::nullopt),
              FFTTap::computeFFT(*padded, false, 0, std::nullopt));
}

TEST(FFTComputeTest, SilenceStaysZeroWhenNormalised) {
    auto silence = makeBuffer(mono, 256, [](auto, auto) { return 0.0f; });
    auto result = FFTTap::computeFFT(*silence, true, 0, std::nullopt);
    ASSERT_EQ(result.size(), 128u);
    EXPECT_TRUE(std::all_of(result.begin(), result.end(), [](float v) { return v == 0.0f; }));
}

TEST_F(SpectrumTest, FFTTapThroughTheEngine) {
    auto source = attach([](std::uint32_t c, std::int64_t t) {
        return c == 0 ? 0.5f * float(std::sin(2 * std::numbers::pi * 32 * double(t) / 1024)) : 0.9f;
    });
    std::vector<std::vector<float>> spectra;
    auto tap = std::make_shared<FFTTap>(source, 1024, std::nullopt,
                                        [&](const std::vector<float>& v) { spectra.push_back(v); });
    EXPECT_EQ(tap->fftData(), std::vector<float>(1024, 0.0f));
    EXPECT_TRUE(tap->isNormalized());
    EXPECT_EQ(tap->zeroPaddingFactor(), 0u);
    EXPECT_FALSE(tap->fftSetupForBinCount());
    EXPECT_EQ(FFTTap(source, 1024, FFTValidBinCount::sixtyFour).fftData().size(), 64u);
    tap->setMainQueue(queue);
    tap->start();
    engine.render(2048.0 / 44100);
    driver.runUntilIdle();
    ASSERT_EQ(spectra.size(), 2u);
    ASSERT_EQ(spectra[1].size(), 512u);
    EXPECT_EQ(largestBin(spectra[1]), 32u);
    EXPECT_FLOAT_EQ(spectra[1][32], 1.0f);
    EXPECT_EQ(tap->fftData(), spectra[1]);
    tap->stop();
    EXPECT_EQ(tap->fftData(), std::vector<float>(512, 0.0f));
    EXPECT_EQ(spectra.size(), 2u);
}

TEST_F(SpectrumTest, RawDataTapCopiesChannelZero) {
    auto source = attach([](std::uint32_t c, std::int64_t t) { return c == 0 ? float(t) : -1.0f; });
    std::vector<std::vector<float>> copies;
    auto tap =
        std::make_shared<RawDataTap>(source, 512, [&](const std::vector<float>& v) { copies.push_back(v); });
    EXPECT_EQ(tap->data(), std::vector<float>(512, 0.0f));
    tap->setMainQueue(queue);
    tap->start();
    engine.render(1024.0 / 44100);
    driver.runUntilIdle();
    ASSERT_EQ(copies.size(), 2u);
    for (std::size_t b = 0; b < 2; ++b)
        for (std::size_t i = 0; i < 512; ++i)
            ASSERT_EQ(copies[b][i], float(b * 512 + i)); // never channel 1's -1
    EXPECT_EQ(tap->data(), copies[1]);
    tap->stop();
    EXPECT_EQ(tap->data(), std::vector<float>(512, 0.0f));
}

TEST(RawDataTapTest, CapacityLargerOrSmallerThanBufferSize) {
    auto node = std::make_shared<Source>([](std::uint32_t, std::int64_t) { return 0.0f; });
    RawDataTap tap(node, 5);
    // Capacity 8, length 5: the last five frames of the capacity.
    auto buffer = makeBuffer(mono, 8, [](auto, std::uint32_t i) { return float(i); });
    buffer->setFrameLength(5);
    tap.processTapBuffer(*buffer, {});
    EXPECT_EQ(tap.data(), (std::vector<float>{3, 4, 5, 6, 7}));
    // A buffer shorter than the tap's size fills what it has and leaves zeros, reading nothing past it.
    auto shortBuffer = makeBuffer(mono, 3, [](auto, std::uint32_t i) { return float(i + 10); });
    tap.processTapBuffer(*shortBuffer, {});
    EXPECT_EQ(tap.data(), (std::vector<float>{10, 11, 12, 0, 0}));
    auto ints = platform::PCMBuffer::make(
        *platform::AudioFormat::make(platform::AudioFormat::CommonFormat::pcmFormatInt16, 44100, 1, false),
        5);
    tap.processTapBuffer(*ints, {});
    EXPECT_EQ(tap.data(), (std::vector<float>{10, 11, 12, 0, 0}));
}
