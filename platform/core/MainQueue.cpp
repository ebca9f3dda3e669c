#include "platform/core/MainQueue.h"

#include <vector>

namespace platform {

MainQueue::MainQueue(HostClock& clock) : clock_(&clock), mainThread_(std::this_thread::get_id()) {}

MainQueue& MainQueue::shared() {
    static MainQueue queue;
    return queue;
}

void MainQueue::setDriver(MainQueueDriver* driver) {
    std::unique_lock lock(mutex_);
    // The old driver may be destroyed right after this returns: wait for calls into it in flight.
    driverIdle_.wait(lock, [this] { return driverCalls_ == 0; });
    driver_ = driver;
    if (driver_) notifyDriver(lock, !ready_.empty());
}

void MainQueue::setClock(HostClock& clock) {
    std::lock_guard lock(mutex_);
    clock_ = &clock;
}

HostClock& MainQueue::clock() const {
    std::lock_guard lock(mutex_);
    return *clock_;
}

void MainQueue::bindToCurrentThread() {
    std::lock_guard lock(mutex_);
    mainThread_ = std::this_thread::get_id();
}

bool MainQueue::isMainThread() const {
    std::lock_guard lock(mutex_);
    return mainThread_ == std::this_thread::get_id();
}

void MainQueue::notifyDriver(std::unique_lock<std::mutex>& lock, bool immediate) {
    MainQueueDriver* driver = driver_;
    std::optional<std::uint64_t> due;
    if (!timers_.empty()) due = timers_.begin()->first.first;
    if (!driver) {
        lock.unlock();
        return;
    }
    ++driverCalls_;
    lock.unlock();
    if (immediate) driver->wake();
    if (due) driver->wakeAt(*due);
    lock.lock();
    if (--driverCalls_ == 0) driverIdle_.notify_all();
    lock.unlock();
}

void MainQueue::async(std::function<void()> work, QueueOwner owner) {
    std::unique_lock lock(mutex_);
    ready_.push_back(Call{nextID_++, owner, std::move(work), 0, 0});
    notifyDriver(lock, true);
}

MainQueue::CallID MainQueue::asyncAfter(std::chrono::nanoseconds delay, std::function<void()> work,
                                        QueueOwner owner) {
    std::unique_lock lock(mutex_);
    const auto now = clock_->now();
    const auto d = delay.count() > 0 ? static_cast<std::uint64_t>(delay.count()) : 0;
    const CallID id = nextID_++;
    timers_.emplace(std::pair{now + d, id}, Call{id, owner, std::move(work), now + d, 0});
    notifyDriver(lock, false);
    return id;
}

MainQueue::CallID MainQueue::scheduleRepeating(std::chrono::nanoseconds interval, std::function<void()> work,
                                               QueueOwner owner) {
    std::unique_lock lock(mutex_);
    const auto now = clock_->now();
    // A zero interval would spin the loop; one nanosecond still lets other work in.
    const auto step = interval.count() > 0 ? static_cast<std::uint64_t>(interval.count()) : 1;
    const CallID id = nextID_++;
    timers_.emplace(std::pair{now + step, id}, Call{id, owner, std::move(work), now + step, step});
    notifyDriver(lock, false);
    return id;
}

void MainQueue::cancel(CallID id) {
    std::lock_guard lock(mutex_);
    running_.erase(id);
    for (auto it = ready_.begin(); it != ready_.end(); ++it) {
        if (it->id == id) {
            ready_.erase(it);
            return;
        }
    }
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
        if (it->second.id == id) {
            timers_.erase(it);
            return;
        }
    }
}

void MainQueue::cancelAll(QueueOwner owner) {
    if (!owner) return;
    std::lock_guard lock(mutex_);
    std::erase_if(ready_, [owner](const Call& c) { return c.owner == owner; });
    std::erase_if(timers_, [owner](const auto& entry) { return entry.second.owner == owner; });
    // A repeater of this owner that runs now is not rescheduled.
    std::erase_if(running_, [owner](const auto& entry) { return entry.second == owner; });
}

std::size_t MainQueue::runReady() {
    std::vector<Call> batch;
    {
        std::lock_guard lock(mutex_);
        const auto now = clock_->now();
        batch.assign(std::make_move_iterator(ready_.begin()), std::make_move_iterator(ready_.end()));
        ready_.clear();
        while (!timers_.empty() && timers_.begin()->first.first <= now) {
            auto node = timers_.extract(timers_.begin());
            if (node.mapped().interval) running_.emplace(node.mapped().id, node.mapped().owner);
            batch.push_back(std::move(node.mapped()));
        }
    }
    std::size_t ran = 0;
    for (auto& call : batch) {
        if (call.interval) {
            {
                std::lock_guard lock(mutex_);
                if (!running_.count(call.id)) continue; // cancelled by an earlier call of this batch
            }
            call.work();
            ++ran;
            std::unique_lock lock(mutex_);
            if (running_.erase(call.id)) {
                const auto now = clock_->now();
                std::uint64_t next = call.due + call.interval;
                if (next <= now) next = now + call.interval; // a late loop does not fire in bursts
                call.due = next;
                const auto key = std::pair{next, call.id};
                timers_.emplace(key, std::move(call));
                notifyDriver(lock, false);
            }
        } else {
            call.work();
            ++ran;
        }
    }
    return ran;
}

bool MainQueue::hasReadyWork() const {
    std::lock_guard lock(mutex_);
    return !ready_.empty() || (!timers_.empty() && timers_.begin()->first.first <= clock_->now());
}

std::optional<std::uint64_t> MainQueue::nextDueTime() const {
    std::lock_guard lock(mutex_);
    if (timers_.empty()) return std::nullopt;
    return timers_.begin()->first.first;
}

std::size_t MainQueue::pendingCount() const {
    std::lock_guard lock(mutex_);
    return ready_.size() + timers_.size();
}

TestMainQueueDriver::TestMainQueueDriver(MainQueue& queue, ManualClock& clock)
    : queue_(queue), clock_(clock) {
    queue_.setClock(clock_);
    queue_.bindToCurrentThread();
    queue_.setDriver(this);
}

TestMainQueueDriver::~TestMainQueueDriver() {
    queue_.setDriver(nullptr);
    queue_.setClock(HostClock::system());
}

std::size_t TestMainQueueDriver::runUntilIdle(std::size_t maxRounds) {
    std::size_t total = 0;
    for (std::size_t round = 0; round < maxRounds && queue_.hasReadyWork(); ++round)
        total += queue_.runReady();
    return total;
}

void TestMainQueueDriver::advance(std::chrono::nanoseconds duration) {
    const auto end = clock_.now() + static_cast<std::uint64_t>(std::max<std::int64_t>(0, duration.count()));
    runUntilIdle();
    while (true) {
        const auto due = queue_.nextDueTime();
        if (!due || *due > end) break;
        if (*due > clock_.now()) clock_.set(*due);
        runUntilIdle();
    }
    if (end > clock_.now()) clock_.set(end); // a call may have moved the clock further itself
    runUntilIdle();
}

} // namespace platform
