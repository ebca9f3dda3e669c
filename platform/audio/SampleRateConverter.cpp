#include "platform/audio/SampleRateConverter.h"

#include <samplerate.h>

#include <algorithm>
#include <cstring>

namespace platform {

namespace {
constexpr std::uint32_t kPullFrames = 512;
}

SampleRateConverter::SampleRateConverter(std::uint32_t channels, double inputRate, double outputRate,
                                         std::uint32_t maximumFrames)
    : channels_(channels), inputRate_(inputRate), outputRate_(outputRate) {
    const double ratio = outputRate / inputRate;
    if (channels == 0 || !(ratio >= 1.0 / 256 && ratio <= 256)) return;
    int error = 0;
    state_ = src_callback_new(&SampleRateConverter::callback, SRC_SINC_FASTEST, int(channels), &error, this);
    inputScratch_.resize(std::size_t(kPullFrames) * channels);
    outputScratch_.reserve(std::size_t(maximumFrames) * channels);
}

SampleRateConverter::~SampleRateConverter() {
    if (state_) src_delete(state_);
}

void SampleRateConverter::reset() {
    if (state_) src_reset(state_);
}

long SampleRateConverter::callback(void* self, float** data) {
    auto* converter = static_cast<SampleRateConverter*>(self);
    const float* const* channels = nullptr;
    const std::uint32_t got = converter->pull_ ? (*converter->pull_)(kPullFrames, &channels) : 0;
    const std::uint32_t n = std::min(got, kPullFrames);
    for (std::uint32_t c = 0; c < converter->channels_; ++c)
        for (std::uint32_t i = 0; i < n; ++i)
            converter->inputScratch_[std::size_t(i) * converter->channels_ + c] =
                channels ? channels[c][i] : 0.0f;
    *data = converter->inputScratch_.data();
    return long(n);
}

void SampleRateConverter::process(std::uint32_t frames, float* const* out, const Pull& pull) {
    std::uint32_t done = 0;
    if (state_) {
        outputScratch_.resize(std::size_t(frames) * channels_);
        pull_ = &pull;
        const long got =
            src_callback_read(state_, outputRate_ / inputRate_, long(frames), outputScratch_.data());
        pull_ = nullptr;
        done = got > 0 ? std::uint32_t(got) : 0;
        for (std::uint32_t c = 0; c < channels_; ++c)
            for (std::uint32_t i = 0; i < done; ++i)
                out[c][i] = outputScratch_[std::size_t(i) * channels_ + c];
    }
    for (std::uint32_t c = 0; c < channels_; ++c)
        std::memset(out[c] + done, 0, (frames - done) * sizeof(float));
}

} // namespace platform
