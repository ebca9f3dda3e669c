#include "platform/audio/AudioFormat.h"

#include "platform/core/ValueText.h"

#include <cmath>

namespace platform {

std::optional<AudioFormat> AudioFormat::standard(double sampleRate, std::uint32_t channelCount) {
    if (!(sampleRate > 0) || !std::isfinite(sampleRate)) return std::nullopt;
    if (channelCount == 0 || channelCount > maxChannelCount) return std::nullopt;
    AudioFormat f;
    f.sampleRate_ = sampleRate;
    f.channelCount_ = channelCount;
    f.standard_ = true;
    return f;
}

std::string AudioFormat::description() const {
    if (isEmpty()) return "<AudioFormat empty>";
    return "<AudioFormat " + describe(channelCount_) + " ch, " + describe(sampleRate_) +
           " Hz, Float32, deinterleaved>";
}

} // namespace platform
