#include "sonabel/taps/AmplitudeTap.h"

#include "platform/audio/dsp/VectorOps.h"

#include <algorithm>

namespace sonabel {

AmplitudeTap::AmplitudeTap(std::shared_ptr<Node> input, std::uint32_t bufferSize, StereoMode stereoMode,
                           AnalysisMode analysisMode, Handler handler)
    : BaseTap(std::move(input), bufferSize), stereoMode_(stereoMode), analysisMode_(analysisMode),
      handler_(std::move(handler)) {}

void AmplitudeTap::setAmp(std::array<float, 2> values) {
    amp_[0].store(values[0]);
    amp_[1].store(values[1]);
}

AmplitudeTap::Handler AmplitudeTap::handler() const {
    std::lock_guard lock(handlerMutex_);
    return handler_;
}

void AmplitudeTap::setHandler(Handler handler) {
    std::lock_guard lock(handlerMutex_);
    handler_ = std::move(handler);
}

void AmplitudeTap::processTapBuffer(const platform::PCMBuffer& buffer, const platform::AudioTime&) {
    float* const* data = buffer.floatChannelData();
    if (!data) return;
    // Room for two channels: further channels are not measured.
    const std::uint32_t channels = std::min<std::uint32_t>(buffer.format().channelCount(), 2);
    const std::size_t frames = buffer.frameLength();
    const std::ptrdiff_t stride = buffer.stride();
    for (std::uint32_t c = 0; c < channels; ++c) {
        const float* samples = buffer.format().isInterleaved() ? data[0] + c : data[c];
        amp_[c].store(analysisMode_.load() == AnalysisMode::rms
                          ? platform::dsp::rms(samples, stride, frames)
                          : platform::dsp::maximum(samples, stride, frames));
    }
    float value = level();
    switch (stereoMode_.load()) {
    case StereoMode::left:
        value = leftAmplitude();
        break;
    case StereoMode::right:
        value = rightAmplitude();
        break;
    case StereoMode::center:
        break;
    }
    if (auto h = handler()) h(value);
}

void AmplitudeTap::stop() {
    BaseTap::stop();
    setAmp({0, 0});
}

} // namespace sonabel
