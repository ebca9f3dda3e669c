#include "platform/audio/AudioFormat.h"

#include "platform/core/ValueText.h"

#include <cmath>

namespace platform {

std::optional<AudioFormat> AudioFormat::standard(double sampleRate, std::uint32_t channelCount) {
    return make(CommonFormat::pcmFormatFloat32, sampleRate, channelCount, false);
}

std::optional<AudioFormat> AudioFormat::make(CommonFormat commonFormat, double sampleRate,
                                             std::uint32_t channelCount, bool interleaved) {
    if (!(sampleRate > 0) || !std::isfinite(sampleRate)) return std::nullopt;
    if (channelCount == 0 || channelCount > maxChannelCount) return std::nullopt;
    if (commonFormat == CommonFormat::otherFormat) return std::nullopt;
    AudioFormat f;
    f.sampleRate_ = sampleRate;
    f.channelCount_ = channelCount;
    f.commonFormat_ = commonFormat;
    // A single channel has nothing to interleave; the platform reports it deinterleaved.
    f.interleaved_ = interleaved && channelCount > 1;
    return f;
}

std::optional<AudioFormat> AudioFormat::fromSettings(const AudioFormatSettings& settings) {
    auto get = [&](const char* key, double fallback) {
        auto it = settings.find(key);
        return it == settings.end() ? fallback : it->second;
    };
    if (get("AVFormatIDKey", kAudioFormatLinearPCM) != kAudioFormatLinearPCM) return std::nullopt;
    const double rate = get("AVSampleRateKey", 44100);
    const double channels = get("AVNumberOfChannelsKey", 2);
    if (!(channels >= 1 && channels <= maxChannelCount) || channels != std::trunc(channels))
        return std::nullopt;
    const double bits = get("AVLinearPCMBitDepthKey", 32);
    const bool isFloat = get("AVLinearPCMIsFloatKey", 1) != 0;
    const bool interleaved = get("AVLinearPCMIsNonInterleaved", 1) == 0;
    CommonFormat common = CommonFormat::otherFormat;
    if (isFloat && bits == 32)
        common = CommonFormat::pcmFormatFloat32;
    else if (isFloat && bits == 64)
        common = CommonFormat::pcmFormatFloat64;
    else if (!isFloat && bits == 16)
        common = CommonFormat::pcmFormatInt16;
    else if (!isFloat && bits == 32)
        common = CommonFormat::pcmFormatInt32;
    return make(common, rate, static_cast<std::uint32_t>(channels), interleaved);
}

std::uint32_t AudioFormat::bytesPerSample() const {
    switch (commonFormat_) {
    case CommonFormat::pcmFormatFloat32:
        return 4;
    case CommonFormat::pcmFormatFloat64:
        return 8;
    case CommonFormat::pcmFormatInt16:
        return 2;
    case CommonFormat::pcmFormatInt32:
        return 4;
    case CommonFormat::otherFormat:
        return 0;
    }
    return 0;
}

std::uint32_t AudioFormat::channelLayoutTag() const {
    if (channelCount_ == 1) return kAudioChannelLayoutTag_Mono;
    if (channelCount_ == 2) return kAudioChannelLayoutTag_Stereo;
    return kAudioChannelLayoutTag_DiscreteInOrder | channelCount_;
}

AudioFormatSettings AudioFormat::settings() const {
    if (isEmpty()) return {};
    const bool isFloat =
        commonFormat_ == CommonFormat::pcmFormatFloat32 || commonFormat_ == CommonFormat::pcmFormatFloat64;
    return {
        {"AVFormatIDKey", kAudioFormatLinearPCM},
        {"AVSampleRateKey", sampleRate_},
        {"AVNumberOfChannelsKey", double(channelCount_)},
        {"AVLinearPCMBitDepthKey", double(bytesPerSample() * 8)},
        {"AVLinearPCMIsFloatKey", isFloat ? 1.0 : 0.0},
        {"AVLinearPCMIsNonInterleaved", interleaved_ ? 0.0 : 1.0},
        {"AVLinearPCMIsBigEndianKey", 0.0},
    };
}

std::string AudioFormat::description() const {
    if (isEmpty()) return "<AudioFormat empty>";
    const char* sample = "Float32";
    switch (commonFormat_) {
    case CommonFormat::pcmFormatFloat64:
        sample = "Float64";
        break;
    case CommonFormat::pcmFormatInt16:
        sample = "Int16";
        break;
    case CommonFormat::pcmFormatInt32:
        sample = "Int32";
        break;
    default:
        break;
    }
    return "<AudioFormat " + describe(channelCount_) + " ch, " + describe(sampleRate_) + " Hz, " + sample +
           (interleaved_ ? ", interleaved>" : ", deinterleaved>");
}

} // namespace platform
