#include "platform/audio/AUParameterTree.h"

namespace platform {

std::shared_ptr<AUParameter> AUParameterTree::createParameter(
    const std::string& identifier, const std::string& name, AUParameterAddress address, AUValue min,
    AUValue max, AudioUnitParameterUnit unit, std::optional<std::string> unitName,
    AudioUnitParameterOptions flags, std::vector<std::string> valueStrings, std::vector<std::string>) {
    std::shared_ptr<AUParameter> p(new AUParameter());
    p->identifier_ = identifier;
    p->displayName_ = name;
    p->address_ = address;
    p->minValue_ = min;
    p->maxValue_ = max;
    p->unit_ = unit;
    p->unitName_ = std::move(unitName);
    p->flags_ = flags;
    p->valueStrings_ = std::move(valueStrings);
    // A fresh parameter rests at its minimum, as the platform's do until a unit sets them.
    p->value_.store(min);
    return p;
}

std::shared_ptr<AUParameterTree>
AUParameterTree::createTree(std::vector<std::shared_ptr<AUParameter>> children) {
    std::shared_ptr<AUParameterTree> tree(new AUParameterTree());
    for (auto& child : children)
        if (child) tree->children_.push_back(std::move(child));
    return tree;
}

std::shared_ptr<AUParameter> AUParameterTree::parameterWithAddress(AUParameterAddress address) const {
    for (const auto& p : children_)
        if (p->address() == address) return p;
    return nullptr;
}

} // namespace platform
