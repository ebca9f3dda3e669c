#include "platform/core/BundleInfo.h"

#include "platform/core/BuildInfo.h"

namespace platform {

BundleInfo::BundleInfo() {
    values_["CFBundleShortVersionString"] = SONABEL_PROJECT_VERSION;
    values_["CFBundleName"] = "Malvo Updater";
}

BundleInfo& BundleInfo::main() {
    static BundleInfo info;
    return info;
}

std::optional<std::string> BundleInfo::value(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

void BundleInfo::setValue(const std::string& key, std::optional<std::string> value) {
    std::lock_guard lock(mutex_);
    if (value)
        values_[key] = std::move(*value);
    else
        values_.erase(key);
}

std::string BundleInfo::shortVersionString() const {
    return value("CFBundleShortVersionString").value_or("");
}

} // namespace platform
