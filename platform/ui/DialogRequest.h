#pragma once
#include "platform/ui/AlertOptions.h"
#include "platform/ui/OpenPanelOptions.h"
#include "platform/ui/SavePanelOptions.h"

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// One alert or panel as the application asked for it, flattened so that tests compare whole requests.
struct DialogRequest {
    enum class Kind { alert, openPanel, savePanel, beginSavePanel };

    Kind kind = Kind::alert;
    std::string messageText;
    std::string informativeText;
    std::string title;
    std::string nameFieldStringValue;
    std::vector<std::string> allowedFileTypes;
    bool showsHiddenFiles = false;
    bool canCreateDirectories = false;

    static DialogRequest alert(const AlertOptions& options);
    static DialogRequest openPanel(const OpenPanelOptions& options);
    static DialogRequest savePanel(const SavePanelOptions& options);
    static DialogRequest beginSavePanel(const SavePanelOptions& options);

    bool operator==(const DialogRequest&) const = default;
};

std::string_view dialogKindName(DialogRequest::Kind kind);
// Readable test failures.
std::ostream& operator<<(std::ostream& out, const DialogRequest& request);

} // namespace platform
