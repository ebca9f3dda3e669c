#include "platform/audio/AudioEngineDeliveries.h"

#include "platform/core/LogSink.h"
#include "platform/core/SemaphoreWait.h"

#include <string>
#include <sys/prctl.h>

namespace platform {

namespace {
void relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}
} // namespace

void AudioEngine::Deliveries::pushOutside(Item&& item) {
    std::lock_guard lock(outsideMutex);
    item.after = tail.load(std::memory_order_acquire);
    outside.push_back(std::move(item));
    ++outsideQueued;
    outsidePending.store(true, std::memory_order_release);
}

std::uint64_t AudioEngine::Deliveries::drain() {
    std::uint64_t ran = 0;
    // The ring is read up to where it was when the list was taken: an item from another thread runs
    // where it came among the ring's, and those that come later run in a later drain, after it.
    std::vector<Item> fromOutside;
    std::uint64_t end = tail.load(std::memory_order_acquire);
    if (outsidePending.load(std::memory_order_acquire)) {
        std::lock_guard lock(outsideMutex);
        std::swap(fromOutside, outside);
        outsidePending.store(false, std::memory_order_relaxed);
        end = tail.load(std::memory_order_acquire);
    }
    std::size_t next = 0;
    const auto runOutside = [&](std::uint64_t upTo) {
        for (; next < fromOutside.size() && fromOutside[next].after <= upTo; ++next, ++ran) {
            run(fromOutside[next]);
            outsideDelivered.fetch_add(1, std::memory_order_release);
        }
    };
    for (;; ++ran) {
        const std::uint64_t h = head.load(std::memory_order_relaxed);
        runOutside(h);
        if (h == end) break;
        Item item = std::move(items[h % kCapacity]);
        head.store(h + 1, std::memory_order_release);
        run(item);
        delivered.store(h + 1, std::memory_order_release);
    }
    runOutside(~0ull);
    reportLosses();
    return ran;
}

void AudioEngine::Deliveries::run(Item& item) {
    switch (item.kind) {
    case Kind::tap:
        AudioNode::deliver(*item.tap, item.slot, item.lostFrames, item.when, item.zeroedFrames, item.lostUpTo,
                           item.take);
        break;
    case Kind::work:
        item.work->run();
        break;
    case Kind::captureReport: {
        std::string text = "Audio input: " + std::to_string(item.counts[0]) + " frames dropped (overrun), " +
                           std::to_string(item.counts[1]) + " frames of silence (underrun)";
        if (item.counts[2])
            text += ", " + std::to_string(item.counts[2]) + " frames dropped (latency reduced)";
        LogSink::emit({"io.sonabel.platform", "audio", LogLevel::error, text});
        break;
    }
    }
}

void AudioEngine::Deliveries::reportLosses() {
    reportUnderruns();
    reportImpossibleLosses();
    reportLateNotes();
    const std::uint64_t dropped = droppedBlocks.load(std::memory_order_relaxed);
    const std::uint64_t silenced = silencedBlocks.load(std::memory_order_relaxed);
    if (dropped == reportedDropped && silenced == reportedSilenced) return;
    const auto now = std::chrono::steady_clock::now();
    if (lastReport && now - *lastReport < std::chrono::seconds(1)) return;
    LogSink::emit({"io.sonabel.platform", "audio", LogLevel::error,
                   "Audio taps: " + std::to_string(dropped - reportedDropped) + " blocks dropped, " +
                       std::to_string(silenced - reportedSilenced) +
                       " recorder blocks written as silence (the tap thread fell behind)"});
    reportedDropped = dropped;
    reportedSilenced = silenced;
    lastReport = now;
}

void AudioEngine::Deliveries::reportUnderruns() {
    const std::uint64_t underruns = outputUnderruns.load(std::memory_order_relaxed);
    if (underruns == reportedUnderruns) return;
    const auto now = std::chrono::steady_clock::now();
    if (lastUnderrunReport && now - *lastUnderrunReport < std::chrono::seconds(1)) return;
    const std::uint64_t frames = outputUnderrunFrames.load(std::memory_order_relaxed);
    LogSink::emit({"io.sonabel.platform", "audio", LogLevel::error,
                   "Audio output: " + std::to_string(underruns - reportedUnderruns) + " underruns, " +
                       std::to_string(frames - reportedUnderrunFrames) + " frames of silence played"});
    reportedUnderruns = underruns;
    reportedUnderrunFrames = frames;
    lastUnderrunReport = now;
}

void AudioEngine::Deliveries::reportImpossibleLosses() {
    // Rare, and each one a fault: told at once.
    const std::uint64_t losses = impossibleLosses.load(std::memory_order_relaxed);
    if (losses == reportedImpossibleLosses) return;
    std::string text = "Audio taps: a loss of " +
                       std::to_string(lastImpossibleLoss.load(std::memory_order_relaxed)) +
                       " frames is too long to be true; recorders wrote no silence for it";
    if (losses - reportedImpossibleLosses > 1)
        text += " (" + std::to_string(losses - reportedImpossibleLosses) + " such losses)";
    LogSink::emit({"io.sonabel.platform", "audio", LogLevel::fault, text});
    reportedImpossibleLosses = losses;
}

void AudioEngine::Deliveries::reportLateNotes() {
    // A backlog is dropped in the first cycle that renders it: one line for it.
    const std::uint64_t notes = lateNotes.load(std::memory_order_relaxed);
    if (notes == reportedLateNotes) return;
    LogSink::emit({"io.sonabel.platform", "audio", LogLevel::error,
                   "MIDI: " + std::to_string(notes - reportedLateNotes) +
                       " notes dropped, they waited while their unit was not rendered"});
    reportedLateNotes = notes;
}

bool AudioEngine::Deliveries::pollFor(std::chrono::nanoseconds span) const {
    const auto until = std::chrono::steady_clock::now() + span;
    do {
        for (int i = 0; i < 64; ++i) {
            if (head.load(std::memory_order_relaxed) != tail.load(std::memory_order_relaxed) ||
                outsidePending.load(std::memory_order_relaxed))
                return true;
            relax();
        }
    } while (std::chrono::steady_clock::now() < until);
    return false;
}

void AudioEngine::Deliveries::loop(const std::shared_ptr<Deliveries>& self) {
    {
        std::lock_guard lock(self->mutex);
        self->id = std::this_thread::get_id();
    }
    // The short naps must stay short: the default slack would more than double them.
    prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
    for (;;) {
        std::uint64_t ran = 0;
        {
            std::lock_guard lock(self->consumer);
            ran = self->drain();
        }
        bool ending = false;
        {
            std::lock_guard lock(self->mutex);
            ending = self->ending;
            self->changed.notify_all();
        }
        if (ending) {
            std::lock_guard lock(self->consumer);
            self->drain(); // what the last cycles published before the end was asked for
            break;
        }
        // Blocks that keep coming are looked for a little longer before sleeping: each wake-up
        // the rendering thread has to ask for costs it a system call.
        if (ran > 0 && self->pollFor(kPoll)) continue;
        self->sleeping.store(true);
        if (self->head.load() != self->tail.load() || self->outsidePending.load()) {
            self->sleeping.store(false);
            continue;
        }
        // While blocks keep coming, look again soon by itself: a rendering thread that has to wake
        // this one pays for a system call.
        waitForPost(self->wake, ran > 0 ? kBusyNap : kNap);
        self->sleeping.store(false);
    }
    std::lock_guard lock(self->mutex);
    self->finished = true;
    self->threadRunning.store(false);
    self->changed.notify_all();
}

} // namespace platform
