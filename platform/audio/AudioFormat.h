#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace platform {

// Format settings as the platform's settings dictionaries carry them: keys such as
// "AVSampleRateKey" with numeric values.
using AudioFormatSettings = std::map<std::string, double>;

// An audio stream format. The empty format (rate 0, no channels) stands for a format the
// platform refused. The standard format is 32-bit float, deinterleaved.
class AudioFormat {
public:
    enum class CommonFormat : std::uint32_t {
        otherFormat = 0,
        pcmFormatFloat32 = 1,
        pcmFormatFloat64 = 2,
        pcmFormatInt16 = 3,
        pcmFormatInt32 = 4,
    };

    AudioFormat() = default;

    // The standard format; none for a rate that is not positive and finite or a channel count
    // of 0 or above 64.
    static std::optional<AudioFormat> standard(double sampleRate, std::uint32_t channelCount);
    // A PCM format with the given sample type and layout; same limits as standard().
    static std::optional<AudioFormat> make(CommonFormat commonFormat, double sampleRate,
                                           std::uint32_t channelCount, bool interleaved);
    // From a settings dictionary (linear PCM only); missing keys take the standard format's values.
    static std::optional<AudioFormat> fromSettings(const AudioFormatSettings& settings);

    double sampleRate() const { return sampleRate_; }
    std::uint32_t channelCount() const { return channelCount_; }
    bool isEmpty() const { return channelCount_ == 0; }
    bool isStandard() const {
        return commonFormat_ == CommonFormat::pcmFormatFloat32 && !interleaved_ && !isEmpty();
    }
    CommonFormat commonFormat() const { return commonFormat_; }
    bool isInterleaved() const { return interleaved_; }
    std::uint32_t bytesPerSample() const;
    // Mono and stereo have their own tags; other counts are discrete channels in order.
    std::uint32_t channelLayoutTag() const;
    AudioFormatSettings settings() const;
    std::string description() const;

    bool operator==(const AudioFormat&) const = default;

    static constexpr std::uint32_t maxChannelCount = 64;
    static constexpr std::uint32_t kAudioFormatLinearPCM = 0x6C70636D; // 'lpcm'
    static constexpr std::uint32_t kAudioChannelLayoutTag_Mono = (100u << 16) | 1;
    static constexpr std::uint32_t kAudioChannelLayoutTag_Stereo = (101u << 16) | 2;
    static constexpr std::uint32_t kAudioChannelLayoutTag_DiscreteInOrder = 147u << 16;

private:
    double sampleRate_ = 0;
    std::uint32_t channelCount_ = 0;
    CommonFormat commonFormat_ = CommonFormat::otherFormat;
    bool interleaved_ = false;
};

} // namespace platform
