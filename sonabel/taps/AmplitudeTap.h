#pragma once
#include "sonabel/taps/AnalysisMode.h"
#include "sonabel/taps/BaseTap.h"
#include "sonabel/taps/StereoMode.h"

#include <array>
#include <atomic>
#include <functional>
#include <mutex>

namespace sonabel {

// Measures every tapped buffer per channel (the first two) and reports one level per buffer.
class AmplitudeTap : public BaseTap {
public:
    using Handler = std::function<void(float)>;

    AmplitudeTap(
        std::shared_ptr<Node> input, std::uint32_t bufferSize, StereoMode stereoMode = StereoMode::center,
        AnalysisMode analysisMode = AnalysisMode::rms, Handler handler = [](float) {});

    // The last measured level of channels 0 and 1.
    virtual std::array<float, 2> amp() const { return {amp_[0].load(), amp_[1].load()}; }
    virtual void setAmp(std::array<float, 2> values);
    virtual float level() const { return (amp_[0].load() + amp_[1].load()) * 0.5f; }
    virtual float leftAmplitude() const { return amp_[0].load(); }
    virtual float rightAmplitude() const { return amp_[1].load(); }
    virtual StereoMode stereoMode() const { return stereoMode_.load(); }
    virtual void setStereoMode(StereoMode mode) { stereoMode_.store(mode); }
    virtual AnalysisMode analysisMode() const { return analysisMode_.load(); }
    virtual void setAnalysisMode(AnalysisMode mode) { analysisMode_.store(mode); }
    virtual Handler handler() const;
    virtual void setHandler(Handler handler);

    void processTapBuffer(const platform::PCMBuffer& buffer, const platform::AudioTime& time) override;
    // Also clears both levels; the handler is not called.
    void stop() override;

private:
    // Read from any thread while the main thread measures.
    std::array<std::atomic<float>, 2> amp_{};
    std::atomic<StereoMode> stereoMode_;
    std::atomic<AnalysisMode> analysisMode_;
    mutable std::mutex handlerMutex_;
    Handler handler_;
};

} // namespace sonabel
