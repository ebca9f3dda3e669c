#pragma once
#include "platform/audio/AudioUnitSampler.h"

#include <memory>

namespace sonabel {

// A silent placeholder input for a running engine's mixer that has none.
class EngineResetNode : public platform::AudioUnitSampler {
public:
    static std::shared_ptr<EngineResetNode> make();
    std::string typeName() const override { return "EngineResetNode"; }

private:
    EngineResetNode() = default;
};

} // namespace sonabel
