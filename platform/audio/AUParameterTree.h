#pragma once
#include "platform/audio/AUParameter.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// The parameters of one audio unit, looked up by address.
class AUParameterTree {
public:
    static std::shared_ptr<AUParameter> createParameter(const std::string& identifier,
                                                        const std::string& name, AUParameterAddress address,
                                                        AUValue min, AUValue max, AudioUnitParameterUnit unit,
                                                        std::optional<std::string> unitName,
                                                        AudioUnitParameterOptions flags,
                                                        std::vector<std::string> valueStrings = {},
                                                        std::vector<std::string> dependentParameters = {});
    static std::shared_ptr<AUParameterTree> createTree(std::vector<std::shared_ptr<AUParameter>> children);

    std::shared_ptr<AUParameter> parameterWithAddress(AUParameterAddress address) const;
    const std::vector<std::shared_ptr<AUParameter>>& allParameters() const { return children_; }

private:
    AUParameterTree() = default;
    std::vector<std::shared_ptr<AUParameter>> children_;
};

} // namespace platform
