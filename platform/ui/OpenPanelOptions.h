#pragma once
#include <string>
#include <vector>

namespace platform {

// An open panel that chooses one existing file (never a directory).
// Every member has an initializer, so designated initializers may leave any of them out.
struct OpenPanelOptions {
    std::string title{};
    // File name extensions without the dot; empty allows every file.
    std::vector<std::string> allowedFileTypes{};
    bool showsHiddenFiles = false;
    bool canCreateDirectories = false;

    bool operator==(const OpenPanelOptions&) const = default;
};

} // namespace platform
