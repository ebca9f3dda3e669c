#pragma once
// One transfer at a time, of any kind. A firmware or bank job must not be cut or redirected by a
// second job, an Open, a Close or a new device choice; those ask running() and refuse. Upload jobs
// run on threads of their own that are joined, at the latest when the guard goes away.
#include "platform/core/BackgroundJobs.h"

#include <atomic>
#include <functional>
#include <memory>

namespace malvo {

class TransferJobGuard {
public:
    TransferJobGuard() = default;
    // Asks a running job to stop, then waits for it.
    ~TransferJobGuard();
    TransferJobGuard(const TransferJobGuard&) = delete;
    TransferJobGuard& operator=(const TransferJobGuard&) = delete;

    // For a transfer that runs in place: false while another one runs. end() releases it.
    bool begin();
    void end();
    // Begins and runs the job in the background; it ends when the job returns. False, and
    // nothing run, while another transfer runs.
    bool start(std::function<void()> job);

    bool running() const { return running_.load(); }
    bool cancelled() const { return cancelled_.load(); }
    // Waits for the background job, if any.
    void waitForJob();
    // Asks a running job to stop before its next send, waits for it, and drops what it queued
    // for the window from then on. The guard stays refusing nothing; used as the process ends.
    void stop();

    // False once the guard is going away: work that a job queued elsewhere checks it first.
    std::shared_ptr<const std::atomic<bool>> alive() const { return alive_; }

private:
    std::atomic<bool> running_{false};
    std::atomic<bool> cancelled_{false};
    std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
    platform::BackgroundJobs jobs_;
};

} // namespace malvo
