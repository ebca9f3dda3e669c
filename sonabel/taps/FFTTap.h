#pragma once
#include "sonabel/taps/BaseTap.h"
#include "sonabel/taps/FFTValidBinCount.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace sonabel {

// Turns channel 0 of every tapped buffer into a Hann-windowed power spectrum, by default
// normalised to its largest bin, stores it in `fftData` and hands it to the handler.
class FFTTap : public BaseTap {
public:
    using Handler = std::function<void(const std::vector<float>&)>;

    struct FFTSetupForBinCount {
        unsigned log2n = 0;
        int binCount = 0;
        explicit FFTSetupForBinCount(FFTValidBinCount count)
            : log2n(count.log2n()), binCount(static_cast<int>(count.rawValue())) {}
        bool operator==(const FFTSetupForBinCount&) const = default;
    };

    FFTTap(
        std::shared_ptr<Node> input, std::uint32_t bufferSize,
        std::optional<FFTValidBinCount> fftValidBinCount = std::nullopt,
        Handler handler = [](const std::vector<float>&) {});

    virtual std::vector<float> fftData() const;
    virtual void setFFTData(std::vector<float> data);
    virtual bool isNormalized() const { return isNormalized_.load(); }
    virtual void setIsNormalized(bool normalized) { isNormalized_.store(normalized); }
    virtual std::uint32_t zeroPaddingFactor() const { return zeroPaddingFactor_.load(); }
    virtual void setZeroPaddingFactor(std::uint32_t factor) { zeroPaddingFactor_.store(factor); }
    virtual std::optional<FFTSetupForBinCount> fftSetupForBinCount() const;
    virtual void setFFTSetupForBinCount(std::optional<FFTSetupForBinCount> setup);
    virtual Handler handler() const;
    virtual void setHandler(Handler handler);

    void processTapBuffer(const platform::PCMBuffer& buffer, const platform::AudioTime& time) override;
    // Also zeroes `fftData`, keeping its count; the handler is not called.
    void stop() override;

    // The power spectrum of channel 0: 2^round(log2(frames)) / 2 bins, or binCount bins when a set-up
    // is given and the (padded) frame count reaches it. Empty for an empty buffer, a buffer without
    // float samples, or a transform beyond 2^24 points. Silence stays all zero when normalised.
    static std::vector<float> computeFFT(const platform::PCMBuffer& buffer, bool isNormalized,
                                         std::uint32_t zeroPaddingFactor,
                                         std::optional<FFTSetupForBinCount> fftSetupForBinCount);

private:
    std::atomic<bool> isNormalized_{true};
    std::atomic<std::uint32_t> zeroPaddingFactor_{0};
    mutable std::mutex dataMutex_; // fftData may be read off the main thread
    std::optional<FFTSetupForBinCount> fftSetupForBinCount_;
    std::vector<float> fftData_;
    Handler handler_;
};

} // namespace sonabel
