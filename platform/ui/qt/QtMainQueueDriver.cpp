#include "platform/ui/qt/QtMainQueueDriver.h"

#include <QThread>

#include <algorithm>
#include <chrono>
#include <limits>

namespace platform {

QtMainQueueDriver::QtMainQueueDriver(MainQueue& queue) : queue_(queue) {
    timer_.setSingleShot(true);
    // A coarse timer may fire early; a precise one keeps delayed calls from waiting an extra round.
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, &context_, [this] { run(); });
    queue_.bindToCurrentThread();
    queue_.setDriver(this);
}

QtMainQueueDriver::~QtMainQueueDriver() {
    queue_.setDriver(nullptr);
}

void QtMainQueueDriver::wake() {
    // Many wakes before the loop gets round to it need only one run.
    if (runPosted_.exchange(true)) return;
    QMetaObject::invokeMethod(
        &context_,
        [this] {
            runPosted_.store(false);
            run();
        },
        Qt::QueuedConnection);
}

void QtMainQueueDriver::wakeAt(std::uint64_t) {
    if (QThread::currentThread() == context_.thread()) {
        armTimer();
        return;
    }
    // The timer belongs to the GUI thread; it is re-armed there from the queue's earliest due time.
    if (armPosted_.exchange(true)) return;
    QMetaObject::invokeMethod(
        &context_,
        [this] {
            armPosted_.store(false);
            armTimer();
        },
        Qt::QueuedConnection);
}

void QtMainQueueDriver::run() {
    queue_.runReady();
    armTimer();
}

void QtMainQueueDriver::armTimer() {
    const auto due = queue_.nextDueTime();
    if (!due) {
        timer_.stop();
        return;
    }
    const auto now = queue_.clock().now();
    std::chrono::nanoseconds remaining{*due > now ? *due - now : 0};
    // Rounded up, so the timer never fires before the call is due and spins.
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(remaining);
    // QTimer holds an int of milliseconds; a call further out is re-armed when this one fires.
    ms = std::min(ms, std::chrono::milliseconds(std::numeric_limits<int>::max()));
    timer_.start(ms);
}

} // namespace platform
