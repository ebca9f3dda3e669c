#pragma once
#include "platform/core/MainQueue.h"
#include "platform/ui/DialogRequest.h"
#include "platform/ui/Dialogs.h"

#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// The test stand-in for every alert and panel: records each request and answers panels from a queue
// of prepared answers. Alerts return at once, as if "OK" was clicked. A panel with no answer left
// is cancelled.
class ScriptedDialogs final : public Dialogs {
public:
    // Completions of beginSavePanel() are delivered through this queue, as the real panel ends later.
    explicit ScriptedDialogs(MainQueue& queue = MainQueue::shared());
    ~ScriptedDialogs() override;
    ScriptedDialogs(const ScriptedDialogs&) = delete;
    ScriptedDialogs& operator=(const ScriptedDialogs&) = delete;

    // The answer of the next panel not yet answered: a path chooses it, nullopt cancels.
    void queueAnswer(std::optional<std::string> path);
    void queueCancel() { queueAnswer(std::nullopt); }
    std::size_t pendingAnswerCount() const;

    std::vector<DialogRequest> requests() const;
    std::vector<DialogRequest> alerts() const;
    // Requests made on a thread other than the queue's main thread; product code must never do that.
    std::size_t offMainThreadCount() const;
    void clearRequests();

    void runAlert(const AlertOptions& options) override;
    std::optional<std::string> runOpenPanel(const OpenPanelOptions& options) override;
    std::optional<std::string> runSavePanel(const SavePanelOptions& options) override;
    void beginSavePanel(const SavePanelOptions& options, PanelCompletion completion) override;

private:
    void record(DialogRequest request);
    std::optional<std::string> takeAnswer();

    MainQueue& queue_;
    mutable std::mutex mutex_;
    std::vector<DialogRequest> requests_;
    std::deque<std::optional<std::string>> answers_;
    std::size_t offMainThread_ = 0;
};

} // namespace platform
