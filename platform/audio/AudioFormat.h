#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// An audio stream format. The empty format (rate 0, no channels) stands for a format the
// platform refused. The standard format is 32-bit float, deinterleaved.
class AudioFormat {
public:
    AudioFormat() = default;

    // The standard format; none for a rate that is not positive and finite or a channel count
    // of 0 or above 64.
    static std::optional<AudioFormat> standard(double sampleRate, std::uint32_t channelCount);

    double sampleRate() const { return sampleRate_; }
    std::uint32_t channelCount() const { return channelCount_; }
    bool isEmpty() const { return channelCount_ == 0; }
    bool isStandard() const { return standard_; }
    std::string description() const;

    bool operator==(const AudioFormat&) const = default;

    static constexpr std::uint32_t maxChannelCount = 64;

private:
    double sampleRate_ = 0;
    std::uint32_t channelCount_ = 0;
    bool standard_ = false;
};

} // namespace platform
