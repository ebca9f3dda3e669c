#pragma once
#include <cstdint>

namespace platform {

enum class AUParameterAutomationEventType : std::uint32_t { value = 0, touch = 1, release = 2 };

// One change of a parameter as automation observers see it.
struct AUParameterAutomationEvent {
    std::uint64_t hostTime = 0;
    std::uint64_t address = 0;
    float value = 0;
    AUParameterAutomationEventType eventType = AUParameterAutomationEventType::value;
    std::uint64_t reserved = 0;

    bool operator==(const AUParameterAutomationEvent&) const = default;
};

} // namespace platform
