#pragma once
// Component descriptions of the framework's own units and of the platform's effects.
#include "platform/audio/AudioComponentDescription.h"

#include <cstdint>
#include <string_view>

namespace sonabel {

// The framework's manufacturer code, "Snbl".
std::uint32_t frameworkManufacturer();
// The platform's sandbox-safe component flag.
inline constexpr std::uint32_t kAudioComponentFlag_SandboxSafe = 2;

platform::AudioComponentDescription frameworkUnitDescription(std::uint32_t type, std::uint32_t subtype);
platform::AudioComponentDescription appleEffectDescription(std::uint32_t subtype);
platform::AudioComponentDescription musicEffectDescription(std::uint32_t subtype);
// The names must be exactly four characters; any other length stops the process.
platform::AudioComponentDescription musicEffectDescription(std::string_view subtypeName);
platform::AudioComponentDescription mixerDescription(std::string_view subtypeName);
platform::AudioComponentDescription generatorDescription(std::string_view subtypeName);
platform::AudioComponentDescription instrumentDescription(std::string_view subtypeName);

} // namespace sonabel
