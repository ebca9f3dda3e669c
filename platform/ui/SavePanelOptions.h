#pragma once
#include <string>
#include <vector>

namespace platform {

// A save panel that chooses where one file goes.
// Every member has an initializer, so designated initializers may leave any of them out.
struct SavePanelOptions {
    std::string title{};
    // The proposed file name in the panel's name field.
    std::string nameFieldStringValue{};
    // File name extensions without the dot; empty allows every file.
    std::vector<std::string> allowedFileTypes{};
    bool showsHiddenFiles = false;
    bool canCreateDirectories = true;

    bool operator==(const SavePanelOptions&) const = default;
};

} // namespace platform
