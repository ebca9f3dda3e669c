#pragma once
#include "platform/core/MainQueue.h"

#include <QObject>
#include <QTimer>

#include <atomic>
#include <cstdint>

namespace platform {

// Runs a MainQueue on the Qt event loop of the thread that creates the driver (the GUI thread):
// ready work through a queued invocation, delayed calls through a single-shot timer set to the
// earliest due time. Installs itself on construction and removes itself on destruction; it must
// outlive every thread that may still queue work.
class QtMainQueueDriver final : public MainQueueDriver {
public:
    explicit QtMainQueueDriver(MainQueue& queue);
    ~QtMainQueueDriver() override;
    QtMainQueueDriver(const QtMainQueueDriver&) = delete;
    QtMainQueueDriver& operator=(const QtMainQueueDriver&) = delete;

    void wake() override;
    void wakeAt(std::uint64_t hostTime) override;

private:
    void run();
    void armTimer();

    MainQueue& queue_;
    QObject context_;
    QTimer timer_;
    std::atomic<bool> runPosted_{false};
    std::atomic<bool> armPosted_{false};
};

} // namespace platform
