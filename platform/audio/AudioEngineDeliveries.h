#pragma once
// The engine's hand-over from the rendering thread to its tap thread; only AudioEngine.cpp and this
// file's own source use it.
#include "platform/audio/AudioEngine.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <semaphore.h>
#include <thread>
#include <vector>

namespace platform {

// What the rendering thread hands over, in order, through a fixed ring it never waits on: one
// producer (cycles come one at a time), one consumer (the tap thread, or without it the thread that
// rendered offline). Items become visible when their cycle ends. Other threads hand theirs over
// through a short list under its own lock, delivered after what was published before them and before
// what was published after.
struct AudioEngine::Deliveries {
    enum class Kind { tap, work, captureReport };
    struct Item {
        Kind kind = Kind::tap;
        std::shared_ptr<AudioNode::Tap> tap;
        std::unique_ptr<CycleWork> work;
        std::uint32_t slot = 0;
        std::uint32_t lostFrames = 0;
        std::uint32_t zeroedFrames = 0;
        std::uint64_t lostUpTo = 0;
        std::uint64_t take = AudioNode::kSameTake;
        std::uint64_t after = 0; // from another thread: the items published when it came
        AudioTime when;
        std::uint64_t counts[3] = {0, 0, 0};
    };
    static constexpr std::uint64_t kCapacity = 4096;

    Deliveries() : items(new Item[kCapacity]) { sem_init(&wake, 0, 0); }
    ~Deliveries() { sem_destroy(&wake); }

    // Producer.
    bool full() {
        // `head` only grows: a value seen earlier that leaves room is still right, and the line the
        // tap thread writes is read only when the queue looks full.
        if (staged - headSeen < kCapacity) return false;
        headSeen = head.load(std::memory_order_acquire);
        return staged - headSeen >= kCapacity;
    }
    bool push(Item&& item) {
        if (full()) return false;
        items[staged % kCapacity] = std::move(item);
        ++staged;
        return true;
    }
    bool publish() {
        if (staged == tail.load(std::memory_order_relaxed)) return false;
        tail.store(staged, std::memory_order_release);
        return true;
    }
    // Other threads: items run after everything published before them, and before what comes after.
    void pushOutside(Item&& item);
    // Consumer: delivers everything published; caller holds `consumer`. Returns the items run.
    std::uint64_t drain();
    void run(Item& item);
    void reportLosses();
    void reportUnderruns();
    void reportImpossibleLosses();
    void reportLateNotes();

    std::unique_ptr<Item[]> items;
    // Each side writes its own cache line: a line both write would be fetched back and forth on
    // every block.
    alignas(64) std::uint64_t staged = 0; // producer
    std::uint64_t headSeen = 0;           // producer: `head` when last looked at
    bool urgent = false;                  // producer: a tap's pool runs low
    alignas(64) std::atomic<std::uint64_t> tail{0};
    alignas(64) std::atomic<std::uint64_t> head{0};
    std::atomic<std::uint64_t> delivered{0}; // items run to their end; `head` moves before they run
    alignas(64) std::atomic<std::uint64_t> droppedBlocks{0};
    std::atomic<std::uint64_t> silencedBlocks{0};
    std::atomic<std::uint64_t> outputUnderruns{0};
    std::atomic<std::uint64_t> outputUnderrunFrames{0};
    std::atomic<std::uint64_t> impossibleLosses{0};
    std::atomic<std::uint64_t> lateNotes{0};
    std::uint64_t reportedLateNotes = 0;              // consumer
    std::atomic<std::uint64_t> lastImpossibleLoss{0}; // its frames
    std::uint64_t reportedImpossibleLosses = 0;       // consumer
    std::uint64_t reportedUnderruns = 0;              // consumer
    std::uint64_t reportedUnderrunFrames = 0;
    std::optional<std::chrono::steady_clock::time_point> lastUnderrunReport;
    std::uint64_t reportedDropped = 0; // consumer
    std::uint64_t reportedSilenced = 0;
    std::optional<std::chrono::steady_clock::time_point> lastReport;

    std::mutex outsideMutex;
    std::vector<Item> outside;
    std::uint64_t outsideQueued = 0; // under outsideMutex
    std::atomic<std::uint64_t> outsideDelivered{0};
    std::atomic<bool> outsidePending{false};

    std::mutex consumer; // held by whoever drains
    sem_t wake;          // posted by the producer: sem_post neither locks nor allocates
    // The tap thread's life, and waiters for its progress.
    std::mutex mutex;
    std::condition_variable changed;
    std::atomic<bool> threadRunning{false};
    std::atomic<bool> sleeping{false};
    bool ending = false;
    bool finished = true;
    std::thread::id id;
    std::uint64_t job = 0; // its BackgroundJobs number while not joined

    // The tap thread sleeps until woken or for a short while: the rendering thread wakes it only
    // when it is asleep and several deliveries wait, so a burst costs one wake-up, not one each.
    static constexpr std::uint64_t kWakeAfter = 8;
    static constexpr auto kNap = std::chrono::milliseconds(10);
    static constexpr auto kBusyNap = std::chrono::microseconds(20);

    static constexpr auto kPoll = std::chrono::microseconds(100);
    // Tap thread: true once something was published within `span`.
    bool pollFor(std::chrono::nanoseconds span) const;

    void wakeIfNeeded() {
        if ((urgent ||
             tail.load(std::memory_order_relaxed) - head.load(std::memory_order_relaxed) >= kWakeAfter) &&
            sleeping.exchange(false))
            sem_post(&wake);
        urgent = false;
    }

    static void loop(const std::shared_ptr<Deliveries>& self);
};

} // namespace platform
