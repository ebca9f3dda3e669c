#pragma once
#include "platform/audio/AUParameter.h"

#include <string>

namespace sonabel {

// The static description of one audio-unit parameter of a node.
struct NodeParameterDef {
    struct Range {
        platform::AUValue lowerBound = 0;
        platform::AUValue upperBound = 1;
        bool operator==(const Range&) const = default;
    };

    std::string identifier;
    std::string name;
    platform::AUParameterAddress address = 0;
    platform::AUValue defaultValue = 0;
    Range range;
    platform::AudioUnitParameterUnit unit = 0;
    platform::AudioUnitParameterOptions flags = 0;

    bool operator==(const NodeParameterDef&) const = default;
};

} // namespace sonabel
