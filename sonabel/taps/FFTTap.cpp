#include "sonabel/taps/FFTTap.h"

#include "platform/audio/dsp/FFT.h"
#include "platform/audio/dsp/VectorOps.h"
#include "sonabel/internals/error_handling/Log.h"
#include "sonabel/internals/utilities/SplitComplexBuffers.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace sonabel {

namespace {
constexpr unsigned kLargestLog2n = 24;
} // namespace

FFTTap::FFTTap(std::shared_ptr<Node> input, std::uint32_t bufferSize,
               std::optional<FFTValidBinCount> fftValidBinCount, Handler handler)
    : BaseTap(std::move(input), bufferSize), handler_(std::move(handler)) {
    if (fftValidBinCount) fftSetupForBinCount_ = FFTSetupForBinCount(*fftValidBinCount);
    fftData_.assign(fftSetupForBinCount_ ? std::size_t(fftSetupForBinCount_->binCount) : bufferSize, 0.0f);
}

std::vector<float> FFTTap::fftData() const {
    std::lock_guard lock(dataMutex_);
    return fftData_;
}

void FFTTap::setFFTData(std::vector<float> data) {
    std::lock_guard lock(dataMutex_);
    fftData_ = std::move(data);
}

std::optional<FFTTap::FFTSetupForBinCount> FFTTap::fftSetupForBinCount() const {
    std::lock_guard lock(dataMutex_);
    return fftSetupForBinCount_;
}

void FFTTap::setFFTSetupForBinCount(std::optional<FFTSetupForBinCount> setup) {
    std::lock_guard lock(dataMutex_);
    fftSetupForBinCount_ = setup;
}

FFTTap::Handler FFTTap::handler() const {
    std::lock_guard lock(dataMutex_);
    return handler_;
}

void FFTTap::setHandler(Handler handler) {
    std::lock_guard lock(dataMutex_);
    handler_ = std::move(handler);
}

void FFTTap::processTapBuffer(const platform::PCMBuffer& buffer, const platform::AudioTime&) {
    if (!buffer.floatChannelData()) return;
    auto spectrum = computeFFT(buffer, isNormalized(), zeroPaddingFactor(), fftSetupForBinCount());
    Handler h;
    {
        std::lock_guard lock(dataMutex_);
        fftData_ = spectrum;
        h = handler_;
    }
    if (h) h(spectrum);
}

void FFTTap::stop() {
    BaseTap::stop();
    std::lock_guard lock(dataMutex_);
    std::fill(fftData_.begin(), fftData_.end(), 0.0f);
}

std::vector<float> FFTTap::computeFFT(const platform::PCMBuffer& buffer, bool isNormalized,
                                      std::uint32_t zeroPaddingFactor,
                                      std::optional<FFTSetupForBinCount> fftSetupForBinCount) {
    static constexpr const char* kFunction =
        "computeFFT(buffer:isNormalized:zeroPaddingFactor:fftSetupForBinCount:)";
    float* const* channels = buffer.floatChannelData();
    const std::uint32_t length = buffer.frameLength();
    if (!channels) return {};
    if (length == 0) {
        Log({kFunction}, "🛑 No spectrum: the buffer holds no frames");
        return {};
    }
    // In 64 bits the padded count cannot wrap; counts beyond 32 bits are far past the largest transform.
    const std::uint64_t frames = std::uint64_t(length) + std::uint64_t(length) * zeroPaddingFactor;
    if (frames > std::numeric_limits<std::uint32_t>::max()) {
        Log({kFunction}, "🛑 No spectrum:", length, "frames padded by", zeroPaddingFactor,
            "exceed a 32-bit frame count");
        return {};
    }

    unsigned log2n = 0;
    if (fftSetupForBinCount && frames >= std::uint64_t(std::max(fftSetupForBinCount->binCount, 0)))
        log2n = fftSetupForBinCount->log2n + 1;
    else
        log2n = static_cast<unsigned>(std::round(std::log2(double(frames))));
    if (log2n == 0 || log2n > kLargestLog2n) {
        Log({kFunction}, "🛑 No spectrum: a transform of 2^" + platform::describe(log2n) + " points for",
            frames, "frames is outside 2^1...2^" + platform::describe(kLargestLog2n));
        return {};
    }
    const std::size_t n = std::size_t(1) << log2n;
    const std::size_t half = n / 2;

    std::vector<float> window(n);
    platform::dsp::hannWindow(window.data(), n, true);
    std::vector<float> transfer(n, 0.0f);
    const std::ptrdiff_t stride = buffer.stride();
    const std::size_t signal = std::min<std::size_t>(n, length); // beyond the signal: zero padding
    for (std::size_t i = 0; i < signal; ++i)
        transfer[i] = window[i] * channels[0][std::ptrdiff_t(i) * stride];

    // The packed real transform holds twice the DFT: bins 1..half-1 in place, and the zero-frequency
    // and Nyquist terms (both real) as bin 0's real and imaginary parts. Scaled by 1/half.
    const auto bins = platform::dsp::FFT::forward(transfer.data(), n);
    SplitComplex scaled = makeSplitComplexBuffers(half, 0.0f);
    if (!scaled.realp || !scaled.imagp) {
        releaseSplitComplexBuffers(scaled);
        Log({kFunction}, "🛑 No spectrum: no memory for", half, "bins");
        return {};
    }
    const float scale = 2.0f / float(half);
    scaled.realp[0] = bins[0].real() * scale;
    scaled.imagp[0] = bins[half].real() * scale;
    for (std::size_t k = 1; k < half; ++k) {
        scaled.realp[k] = bins[k].real() * scale;
        scaled.imagp[k] = bins[k].imag() * scale;
    }
    std::vector<float> magnitudes(half);
    for (std::size_t k = 0; k < half; ++k)
        magnitudes[k] = scaled.realp[k] * scaled.realp[k] + scaled.imagp[k] * scaled.imagp[k];
    releaseSplitComplexBuffers(scaled);

    if (!isNormalized) return magnitudes;
    const float largest = *std::max_element(magnitudes.begin(), magnitudes.end());
    // Silence (or a spectrum that overflowed) has no largest value to divide by: returned as it is.
    if (!(largest > 0.0f) || !std::isfinite(largest)) return magnitudes;
    std::vector<float> normalized(half);
    platform::dsp::scale(magnitudes.data(), 1.0f / largest, normalized.data(), half);
    return normalized;
}

} // namespace sonabel
