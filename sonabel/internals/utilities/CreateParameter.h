#pragma once
#include "platform/audio/AUParameterTree.h"
#include "sonabel/nodes/NodeParameterDef.h"

#include <memory>
#include <string>

namespace sonabel {

std::shared_ptr<platform::AUParameter> createParameter(const std::string& identifier, const std::string& name,
                                                       platform::AUParameterAddress address,
                                                       NodeParameterDef::Range range,
                                                       platform::AudioUnitParameterUnit unit,
                                                       platform::AudioUnitParameterOptions flags);

} // namespace sonabel
