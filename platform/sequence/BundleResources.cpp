#include "platform/sequence/BundleResources.h"

#include <mutex>
#include <string>
#include <system_error>

namespace platform {

namespace {

std::mutex& mutex() {
    static std::mutex m;
    return m;
}

std::optional<std::filesystem::path>& directory() {
    static std::optional<std::filesystem::path> d;
    return d;
}

} // namespace

std::filesystem::path BundleResources::resourceDirectory() {
    std::lock_guard lock(mutex());
    if (directory()) return *directory();
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path("resources") : executable.parent_path() / "resources";
}

void BundleResources::setResourceDirectory(std::filesystem::path path) {
    std::lock_guard lock(mutex());
    directory() = std::move(path);
}

std::optional<std::filesystem::path> BundleResources::pathForResource(std::string_view name,
                                                                      std::string_view type) {
    if (name.empty() || name.find('/') != std::string_view::npos) return std::nullopt;
    std::string file(name);
    if (!type.empty()) file.append(".").append(type);
    const auto path = resourceDirectory() / file;
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
    return path;
}

} // namespace platform
