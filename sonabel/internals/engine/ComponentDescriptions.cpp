#include "sonabel/internals/engine/ComponentDescriptions.h"

#include "sonabel/internals/utilities/FourCharCode.h"

namespace sonabel {

std::uint32_t frameworkManufacturer() {
    static const std::uint32_t code = fourCharCode("Snbl");
    return code;
}

platform::AudioComponentDescription frameworkUnitDescription(std::uint32_t type, std::uint32_t subtype) {
    return {type, subtype, frameworkManufacturer(), kAudioComponentFlag_SandboxSafe, 0};
}

platform::AudioComponentDescription appleEffectDescription(std::uint32_t subtype) {
    return {platform::kAudioUnitType_Effect, subtype, platform::kAudioUnitManufacturer_Apple, 0, 0};
}

platform::AudioComponentDescription musicEffectDescription(std::uint32_t subtype) {
    return frameworkUnitDescription(platform::kAudioUnitType_MusicEffect, subtype);
}

platform::AudioComponentDescription musicEffectDescription(std::string_view subtypeName) {
    return musicEffectDescription(fourCharCode(subtypeName));
}

platform::AudioComponentDescription mixerDescription(std::string_view subtypeName) {
    return frameworkUnitDescription(platform::kAudioUnitType_Mixer, fourCharCode(subtypeName));
}

platform::AudioComponentDescription generatorDescription(std::string_view subtypeName) {
    return frameworkUnitDescription(platform::kAudioUnitType_Generator, fourCharCode(subtypeName));
}

platform::AudioComponentDescription instrumentDescription(std::string_view subtypeName) {
    return frameworkUnitDescription(platform::kAudioUnitType_MusicDevice, fourCharCode(subtypeName));
}

} // namespace sonabel
