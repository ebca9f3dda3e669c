#pragma once
#include "platform/core/HostClock.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

namespace platform {

// Identifies who queued a call, so that an object going away can cancel all of its calls.
using QueueOwner = const void*;

// Runs the main queue's work on the main thread: the application's event loop, or a test loop.
class MainQueueDriver {
public:
    virtual ~MainQueueDriver() = default;
    // Called from any thread when work is ready; the driver calls runReady() on the main thread soon.
    virtual void wake() = 0;
    // The earliest delayed call is due at this host time.
    virtual void wakeAt(std::uint64_t hostTime) = 0;
};

class MainQueue {
public:
    using CallID = std::uint64_t;

    explicit MainQueue(HostClock& clock = HostClock::system());
    MainQueue(const MainQueue&) = delete;
    MainQueue& operator=(const MainQueue&) = delete;

    static MainQueue& shared();

    void setDriver(MainQueueDriver* driver);
    void setClock(HostClock& clock);
    HostClock& clock() const;

    // The thread that runs the queue; set by the driver.
    void bindToCurrentThread();
    bool isMainThread() const;

    void async(std::function<void()> work, QueueOwner owner = nullptr);
    CallID asyncAfter(std::chrono::nanoseconds delay, std::function<void()> work, QueueOwner owner = nullptr);
    // A repeating timer: first run after one interval, then every interval until cancelled.
    CallID scheduleRepeating(std::chrono::nanoseconds interval, std::function<void()> work,
                             QueueOwner owner = nullptr);
    void cancel(CallID id);
    void cancelAll(QueueOwner owner);

    // Runs every call that is ready now (queued ones first, then due timers in due order);
    // work queued meanwhile waits for the next round. Returns how many calls ran.
    std::size_t runReady();
    bool hasReadyWork() const;
    std::optional<std::uint64_t> nextDueTime() const;
    std::size_t pendingCount() const;

private:
    struct Call {
        CallID id = 0;
        QueueOwner owner = nullptr;
        std::function<void()> work;
        std::uint64_t due = 0;
        std::uint64_t interval = 0;
    };
    void notifyDriver(std::unique_lock<std::mutex>& lock, bool immediate);

    mutable std::mutex mutex_;
    HostClock* clock_;
    MainQueueDriver* driver_ = nullptr;
    int driverCalls_ = 0;
    std::condition_variable driverIdle_;
    std::thread::id mainThread_;
    CallID nextID_ = 1;
    std::deque<Call> ready_;
    std::map<std::pair<std::uint64_t, CallID>, Call> timers_;
    std::map<CallID, QueueOwner> running_; // repeating calls that run now; cancelling removes them
};

// The test loop: nothing runs until the test says so; time moves only with advance().
class TestMainQueueDriver final : public MainQueueDriver {
public:
    TestMainQueueDriver(MainQueue& queue, ManualClock& clock);
    ~TestMainQueueDriver() override;

    void wake() override {}
    void wakeAt(std::uint64_t) override {}

    // Runs ready work until none is left; delayed calls run only once due.
    std::size_t runUntilIdle(std::size_t maxRounds = 100000);
    // Moves the clock forward, running every delayed call at its due time in order.
    void advance(std::chrono::nanoseconds duration);
    void advance(std::chrono::milliseconds ms) { advance(std::chrono::nanoseconds(ms)); }

private:
    MainQueue& queue_;
    ManualClock& clock_;
};

} // namespace platform
