#pragma once
#include <cstdint>

namespace platform {

// Identifies a kind of audio unit. Four-character codes keep their first character in the most
// significant byte.
struct AudioComponentDescription {
    std::uint32_t componentType = 0;
    std::uint32_t componentSubType = 0;
    std::uint32_t componentManufacturer = 0;
    std::uint32_t componentFlags = 0;
    std::uint32_t componentFlagsMask = 0;

    bool operator==(const AudioComponentDescription&) const = default;

    static constexpr std::uint32_t code(const char (&text)[5]) {
        return std::uint32_t(std::uint8_t(text[0])) << 24 | std::uint32_t(std::uint8_t(text[1])) << 16 |
               std::uint32_t(std::uint8_t(text[2])) << 8 | std::uint32_t(std::uint8_t(text[3]));
    }
};

inline constexpr std::uint32_t kAudioUnitType_Output = AudioComponentDescription::code("auou");
inline constexpr std::uint32_t kAudioUnitType_MusicDevice = AudioComponentDescription::code("aumu");
inline constexpr std::uint32_t kAudioUnitType_MusicEffect = AudioComponentDescription::code("aumf");
inline constexpr std::uint32_t kAudioUnitType_Effect = AudioComponentDescription::code("aufx");
inline constexpr std::uint32_t kAudioUnitType_Mixer = AudioComponentDescription::code("aumx");
inline constexpr std::uint32_t kAudioUnitType_Generator = AudioComponentDescription::code("augn");
inline constexpr std::uint32_t kAudioUnitManufacturer_Apple = AudioComponentDescription::code("appl");
inline constexpr std::uint32_t kAudioUnitSubType_Sampler = AudioComponentDescription::code("samp");
inline constexpr std::uint32_t kAudioUnitSubType_MultiChannelMixer = AudioComponentDescription::code("mcmx");
inline constexpr std::uint32_t kAudioUnitSubType_ScheduledSoundPlayer =
    AudioComponentDescription::code("sspl");
inline constexpr std::uint32_t kAudioUnitSubType_GenericOutput = AudioComponentDescription::code("genr");
inline constexpr std::uint32_t kAudioUnitSubType_HALOutput = AudioComponentDescription::code("ahal");

} // namespace platform
