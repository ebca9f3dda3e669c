#pragma once
#include "platform/ui/AlertOptions.h"
#include "platform/ui/OpenPanelOptions.h"
#include "platform/ui/SavePanelOptions.h"

#include <functional>
#include <optional>
#include <string>

namespace platform {

// Every alert and file panel of the application goes through this seam, so tests can answer them.
// All calls belong on the main thread. A panel answers with the chosen path, or nullopt when the
// user cancelled.
class Dialogs {
public:
    using PanelCompletion = std::function<void(std::optional<std::string> path)>;

    virtual ~Dialogs() = default;

    // Returns once the alert has been dismissed.
    virtual void runAlert(const AlertOptions& options) = 0;
    virtual std::optional<std::string> runOpenPanel(const OpenPanelOptions& options) = 0;
    virtual std::optional<std::string> runSavePanel(const SavePanelOptions& options) = 0;
    // Returns at once; the completion runs later on the main thread when the panel closes.
    virtual void beginSavePanel(const SavePanelOptions& options, PanelCompletion completion) = 0;
};

} // namespace platform
