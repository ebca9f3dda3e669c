#include "platform/audio/devices/BoundedStop.h"

#include "platform/core/BackgroundJobs.h"
#include "platform/core/LogSink.h"
#include "platform/core/Sleeper.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

namespace platform {

namespace {

// Stops run on jobs of their own: the shared jobs are joined when the process ends, and such a stop
// may never end; a thread of these still waiting then ends with the process. Those that ended are
// joined at the next stop, and when the process ends.
BackgroundJobs& stopJobs() {
    static BackgroundJobs& jobs = *new BackgroundJobs;
    static const struct JoinEndedAtExit {
        ~JoinEndedAtExit() { jobs.joinEnded(); }
    } joinAtExit;
    return jobs;
}

} // namespace

void CallbackGate::close() {
    open_.store(false);
    while (inside_.load() != 0)
        Sleeper::system().sleepFor(std::chrono::microseconds(100));
}

CallbackGate::Pass::Pass(CallbackGate& gate) : gate_(gate) {
    gate_.inside_.fetch_add(1);
    open_ = gate_.open_.load();
}

CallbackGate::Pass::~Pass() {
    gate_.inside_.fetch_sub(1);
}

bool stopWithin(std::function<void()> stop, std::chrono::nanoseconds budget) {
    struct Stop {
        std::function<void()> stop;
        std::mutex mutex;
        std::condition_variable ended;
        bool done = false;
    };
    auto shared = std::make_shared<Stop>();
    shared->stop = std::move(stop);
    const std::uint64_t job = stopJobs().run([shared] {
        shared->stop();
        shared->stop = nullptr; // what it holds goes here, not with the last waiter
        std::lock_guard lock(shared->mutex);
        shared->done = true;
        shared->ended.notify_all();
    });
    std::unique_lock lock(shared->mutex);
    if (!shared->ended.wait_for(lock, budget, [&] { return shared->done; })) return false;
    lock.unlock();
    stopJobs().join(job);
    return true;
}

std::size_t joinEndedStops() {
    stopJobs().joinEnded();
    return stopJobs().activeCount();
}

void tellStopLeftRunning(std::atomic<bool>& told, std::chrono::milliseconds budget) {
    if (told.exchange(true)) return;
    LogSink::emit(
        {"io.sonabel.platform", "audio", LogLevel::error,
         "The sound server did not stop the audio streams within " + std::to_string(budget.count()) +
             " ms: they are left to stop on their own, and the engine no longer plays through them"});
}

} // namespace platform
