#include "sonabel/internals/utilities/CreateParameter.h"

namespace sonabel {

std::shared_ptr<platform::AUParameter> createParameter(const std::string& identifier, const std::string& name,
                                                       platform::AUParameterAddress address,
                                                       NodeParameterDef::Range range,
                                                       platform::AudioUnitParameterUnit unit,
                                                       platform::AudioUnitParameterOptions flags) {
    return platform::AUParameterTree::createParameter(identifier, name, address, range.lowerBound,
                                                      range.upperBound, unit, std::nullopt, flags);
}

} // namespace sonabel
