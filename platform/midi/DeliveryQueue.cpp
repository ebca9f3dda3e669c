// Delivery queue: FIFO of (target, call) with an in-flight slot that retire() waits on.
#include "platform/midi/DeliveryQueue.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace platform::midi {

class DeliveryQueue::Target {
public:
    bool retired = false; // guarded by State::mutex
};

struct DeliveryQueue::State {
    struct Item {
        TargetPtr target;
        std::function<void()> call;
    };

    mutable std::mutex mutex;
    std::condition_variable wake;    // the delivery thread waits here for work
    std::condition_variable changed; // retire() and waitUntilIdle() wait here
    std::deque<Item> items;
    const Target* inFlight = nullptr;
    std::thread::id deliveringThread; // set while a thread runs deliveries
    bool manual = false;
    bool stopping = false;
    bool loopRunning = false;

    // Pops the next live item and marks it in flight; false when none is left.
    bool take(Item& item) {
        while (!items.empty()) {
            item = std::move(items.front());
            items.pop_front();
            if (!item.target->retired) {
                inFlight = item.target.get();
                return true;
            }
        }
        return false;
    }

    // Under the mutex: the target hears nothing more; its queued items move to `dropped`.
    void dropQueued(const TargetPtr& target, std::deque<Item>& dropped) {
        target->retired = true;
        for (auto it = items.begin(); it != items.end();) {
            if (it->target == target) {
                dropped.push_back(std::move(*it));
                it = items.erase(it);
            } else {
                ++it;
            }
        }
    }

    void finish(std::unique_lock<std::mutex>& lock, Item& item) {
        // The call and its captures go away outside the lock: they may hold user objects.
        lock.unlock();
        item = Item{};
        lock.lock();
        inFlight = nullptr;
        changed.notify_all();
    }

    static void loop(std::shared_ptr<State> state) {
        std::unique_lock lock(state->mutex);
        state->deliveringThread = std::this_thread::get_id();
        while (!state->stopping) {
            Item item;
            if (!state->take(item)) {
                state->changed.notify_all();
                state->wake.wait(lock, [&] { return state->stopping || !state->items.empty(); });
                continue;
            }
            lock.unlock();
            item.call();
            lock.lock();
            state->finish(lock, item);
        }
        std::deque<Item> dropped;
        dropped.swap(state->items);
        state->deliveringThread = {};
        state->loopRunning = false;
        state->changed.notify_all();
        lock.unlock();
    }
};

DeliveryQueue::DeliveryQueue(BackgroundJobs* jobs) : state_(std::make_shared<State>()) {
    state_->manual = jobs == nullptr;
    if (jobs) {
        state_->loopRunning = true;
        jobs->run([state = state_] { State::loop(state); });
    }
}

DeliveryQueue::~DeliveryQueue() {
    stop();
}

void DeliveryQueue::stop() {
    std::deque<State::Item> dropped;
    {
        std::unique_lock lock(state_->mutex);
        state_->stopping = true;
        state_->wake.notify_all();
        if (!state_->manual && state_->deliveringThread != std::this_thread::get_id())
            state_->changed.wait(lock, [&] { return !state_->loopRunning; });
        dropped.swap(state_->items);
    }
}

DeliveryQueue::TargetPtr DeliveryQueue::makeTarget() {
    return std::make_shared<Target>();
}

void DeliveryQueue::post(const TargetPtr& target, std::function<void()> delivery) {
    if (!target) return;
    std::lock_guard lock(state_->mutex);
    if (target->retired || state_->stopping) return;
    const bool wasEmpty = state_->items.empty();
    state_->items.push_back({target, std::move(delivery)});
    if (wasEmpty) state_->wake.notify_one();
}

bool DeliveryQueue::post(std::vector<Posting>& batch, bool mayWait) {
    std::vector<Posting> refused; // destroyed after the lock is released
    {
        std::unique_lock lock(state_->mutex, std::defer_lock);
        if (mayWait)
            lock.lock();
        else if (!lock.try_lock())
            return false;
        const bool wasEmpty = state_->items.empty();
        for (auto& posting : batch) {
            if (!posting.target) continue;
            if (posting.target->retired || state_->stopping)
                refused.push_back(std::move(posting));
            else
                state_->items.push_back({std::move(posting.target), std::move(posting.delivery)});
        }
        if (wasEmpty && !state_->items.empty()) state_->wake.notify_one();
    }
    batch.clear();
    return true;
}

void DeliveryQueue::retire(const TargetPtr& target) {
    if (!target) return;
    std::deque<State::Item> dropped; // destroyed after the lock is released
    std::unique_lock lock(state_->mutex);
    state_->dropQueued(target, dropped);
    if (state_->deliveringThread == std::this_thread::get_id()) return;
    state_->changed.wait(lock, [&] { return state_->inFlight != target.get(); });
}

void DeliveryQueue::drop(const TargetPtr& target) {
    if (!target) return;
    std::deque<State::Item> dropped; // destroyed after the lock is released
    std::lock_guard lock(state_->mutex);
    state_->dropQueued(target, dropped);
}

std::size_t DeliveryQueue::runPending(std::size_t maxCount) {
    std::unique_lock lock(state_->mutex);
    if (!state_->manual || state_->deliveringThread != std::thread::id{}) return 0;
    state_->deliveringThread = std::this_thread::get_id();
    std::size_t ran = 0;
    State::Item item;
    while (ran < maxCount && !state_->stopping && state_->take(item)) {
        lock.unlock();
        item.call();
        lock.lock();
        state_->finish(lock, item);
        ++ran;
    }
    state_->deliveringThread = {};
    state_->changed.notify_all();
    return ran;
}

bool DeliveryQueue::waitUntilIdle(std::chrono::nanoseconds timeout) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [&] {
        if (state_->inFlight) return false;
        for (const auto& item : state_->items)
            if (!item.target->retired) return false;
        return true;
    });
}

bool DeliveryQueue::onDeliveryThread() const {
    std::lock_guard lock(state_->mutex);
    return state_->deliveringThread == std::this_thread::get_id();
}

bool DeliveryQueue::isManual() const {
    return state_->manual;
}

std::size_t DeliveryQueue::pendingCount() const {
    std::lock_guard lock(state_->mutex);
    std::size_t n = 0;
    for (const auto& item : state_->items)
        if (!item.target->retired) ++n;
    return n;
}

} // namespace platform::midi
