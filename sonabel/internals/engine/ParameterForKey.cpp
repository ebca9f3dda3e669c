#include "sonabel/internals/engine/ParameterForKey.h"

namespace sonabel {

std::shared_ptr<platform::AUParameter> parameter(const std::map<std::string, std::any>& object,
                                                 const std::string& key) {
    auto it = object.find(key);
    if (it == object.end()) return nullptr;
    if (auto p = std::any_cast<std::shared_ptr<platform::AUParameter>>(&it->second)) return *p;
    return nullptr;
}

std::shared_ptr<platform::AUParameter> parameter(const platform::AUParameterTree& tree,
                                                 const std::string& key) {
    for (const auto& p : tree.allParameters())
        if (p && p->identifier() == key) return p;
    return nullptr;
}

} // namespace sonabel
