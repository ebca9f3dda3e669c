#pragma once
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace platform {

// The application's information dictionary: its version and the few keys the system reads.
class BundleInfo {
public:
    BundleInfo();
    static BundleInfo& main();

    std::optional<std::string> value(const std::string& key) const;
    void setValue(const std::string& key, std::optional<std::string> value);

    // "CFBundleShortVersionString", taken from the project version.
    std::string shortVersionString() const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::string> values_;
};

} // namespace platform
