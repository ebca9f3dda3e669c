#include "platform/ui/ScriptedDialogs.h"

#include <algorithm>

namespace platform {

ScriptedDialogs::ScriptedDialogs(MainQueue& queue) : queue_(queue) {}

ScriptedDialogs::~ScriptedDialogs() {
    queue_.cancelAll(this);
}

void ScriptedDialogs::queueAnswer(std::optional<std::string> path) {
    std::lock_guard lock(mutex_);
    answers_.push_back(std::move(path));
}

std::size_t ScriptedDialogs::pendingAnswerCount() const {
    std::lock_guard lock(mutex_);
    return answers_.size();
}

std::vector<DialogRequest> ScriptedDialogs::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<DialogRequest> ScriptedDialogs::alerts() const {
    std::lock_guard lock(mutex_);
    std::vector<DialogRequest> result;
    std::copy_if(requests_.begin(), requests_.end(), std::back_inserter(result),
                 [](const DialogRequest& r) { return r.kind == DialogRequest::Kind::alert; });
    return result;
}

std::size_t ScriptedDialogs::offMainThreadCount() const {
    std::lock_guard lock(mutex_);
    return offMainThread_;
}

void ScriptedDialogs::clearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
    offMainThread_ = 0;
}

void ScriptedDialogs::record(DialogRequest request) {
    const bool onMain = queue_.isMainThread();
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(request));
    if (!onMain) ++offMainThread_;
}

std::optional<std::string> ScriptedDialogs::takeAnswer() {
    std::lock_guard lock(mutex_);
    if (answers_.empty()) return std::nullopt;
    auto answer = std::move(answers_.front());
    answers_.pop_front();
    return answer;
}

void ScriptedDialogs::runAlert(const AlertOptions& options) {
    record(DialogRequest::alert(options));
}

std::optional<std::string> ScriptedDialogs::runOpenPanel(const OpenPanelOptions& options) {
    record(DialogRequest::openPanel(options));
    return takeAnswer();
}

std::optional<std::string> ScriptedDialogs::runSavePanel(const SavePanelOptions& options) {
    record(DialogRequest::savePanel(options));
    return takeAnswer();
}

void ScriptedDialogs::beginSavePanel(const SavePanelOptions& options, PanelCompletion completion) {
    record(DialogRequest::beginSavePanel(options));
    // The answer belongs to this panel even if other panels open before its completion runs.
    auto answer = takeAnswer();
    queue_.async(
        [completion = std::move(completion), answer = std::move(answer)]() mutable {
            if (completion) completion(std::move(answer));
        },
        this);
}

} // namespace platform
