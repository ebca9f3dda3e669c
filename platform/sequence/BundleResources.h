#pragma once
#include <filesystem>
#include <optional>
#include <string_view>

namespace platform {

// The application's bundled resource files: "<name>.<type>" in the resource directory, which is
// the "resources" directory beside the executable unless set otherwise.
class BundleResources {
public:
    static std::optional<std::filesystem::path> pathForResource(std::string_view name, std::string_view type);
    static std::filesystem::path resourceDirectory();
    static void setResourceDirectory(std::filesystem::path directory);
};

} // namespace platform
