#pragma once
// The one queue through which a MIDI server calls out to read blocks and notify blocks: one
// delivery at a time, in the order posted, never under a server lock.
//
// Each delivery belongs to a target (a port's connection to a source, a destination's block, a
// client's notify block). Retiring a target drops what is queued for it and waits for a delivery
// to it that is in flight, unless the retiring thread is the one delivering; afterwards nothing
// more reaches it.
//
// Threaded mode runs the deliveries on a job of the given BackgroundJobs; manual mode runs them
// only inside runPending(), on the caller's thread, for deterministic tests.
#include "platform/core/BackgroundJobs.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

namespace platform::midi {

class DeliveryQueue {
public:
    class Target;
    using TargetPtr = std::shared_ptr<Target>;

    // jobs: where the delivery thread runs (threaded mode); nullptr selects manual mode.
    explicit DeliveryQueue(BackgroundJobs* jobs);
    ~DeliveryQueue();
    // Stops the delivery thread and drops what is still queued; later posts are ignored. May run
    // on the delivery thread itself: the thread then ends once the current delivery returns.
    // Otherwise it waits for that delivery, during which the queue stays usable (retire works).
    void stop();
    DeliveryQueue(const DeliveryQueue&) = delete;
    DeliveryQueue& operator=(const DeliveryQueue&) = delete;

    struct Posting {
        TargetPtr target;
        std::function<void()> delivery;
    };

    TargetPtr makeTarget();
    void post(const TargetPtr& target, std::function<void()> delivery);
    // Queues the postings in their order under one lock, waking the delivery thread once, and
    // empties `batch` (its capacity stays for the next one). Unless `mayWait`, gives up when
    // the lock is taken at the moment, keeping `batch`: false then.
    bool post(std::vector<Posting>& batch, bool mayWait = true);
    void retire(const TargetPtr& target);
    // Like retire(), but returns without waiting for a delivery in flight: for a thread that must
    // never wait on a callback. Afterwards nothing more is delivered to the target once the one in
    // flight returns.
    void drop(const TargetPtr& target);

    // Manual mode: runs queued deliveries, those queued meanwhile included, up to maxCount.
    // Returns how many ran. Does nothing in threaded mode or when called from a delivery.
    std::size_t runPending(std::size_t maxCount = SIZE_MAX);
    // True once nothing is queued or in flight; false when the timeout passed first.
    bool waitUntilIdle(std::chrono::nanoseconds timeout);
    bool onDeliveryThread() const;
    bool isManual() const;
    std::size_t pendingCount() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace platform::midi
