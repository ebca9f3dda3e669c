#include "platform/core/BackgroundJobs.h"

#include <algorithm>
#include <vector>

namespace platform {

namespace {
// Set by a job's wrapper for its whole run: which jobs, and which of their numbers.
struct RunningJob {
    const BackgroundJobs* jobs = nullptr;
    std::uint64_t number = 0;
};
thread_local RunningJob runningJob;
} // namespace

BackgroundJobs::~BackgroundJobs() {
    joinAll();
}

BackgroundJobs& BackgroundJobs::shared() {
    static BackgroundJobs jobs;
    return jobs;
}

void BackgroundJobs::reapFinished(std::unique_lock<std::mutex>& lock) {
    std::vector<std::thread> finished;
    for (auto it = jobs_.begin(); it != jobs_.end();) {
        if (it->done->load()) {
            finished.push_back(std::move(it->thread));
            it = jobs_.erase(it);
        } else {
            ++it;
        }
    }
    lock.unlock();
    for (auto& t : finished)
        if (t.joinable()) t.join();
    lock.lock();
}

std::uint64_t BackgroundJobs::run(std::function<void()> job) {
    std::unique_lock lock(mutex_);
    reapFinished(lock);
    auto done = std::make_shared<std::atomic<bool>>(false);
    const std::uint64_t number = ++lastNumber_;
    jobs_.push_back(Job{std::thread([this, job = std::move(job), done, number] {
                            runningJob = {this, number};
                            job();
                            done->store(true);
                        }),
                        done, number});
    return number;
}

void BackgroundJobs::join(std::uint64_t job) {
    std::thread thread;
    {
        std::lock_guard lock(mutex_);
        const auto it =
            std::find_if(jobs_.begin(), jobs_.end(), [&](const Job& j) { return j.number == job; });
        if (it == jobs_.end() || it->thread.get_id() == std::this_thread::get_id()) return;
        thread = std::move(it->thread);
        jobs_.erase(it);
    }
    if (thread.joinable()) thread.join();
}

void BackgroundJobs::joinEnded() {
    std::unique_lock lock(mutex_);
    reapFinished(lock);
}

void BackgroundJobs::joinAll() {
    const auto self = std::this_thread::get_id();
    while (true) {
        std::vector<std::thread> others;
        {
            std::lock_guard lock(mutex_);
            for (auto it = jobs_.begin(); it != jobs_.end();) {
                if (it->thread.get_id() == self) { // a job cannot wait for itself
                    ++it;
                    continue;
                }
                others.push_back(std::move(it->thread));
                it = jobs_.erase(it);
            }
        }
        if (others.empty()) return;
        for (auto& t : others)
            if (t.joinable()) t.join();
    }
}

std::size_t BackgroundJobs::activeCount() const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& j : jobs_)
        if (!j.done->load()) ++n;
    return n;
}

std::uint64_t BackgroundJobs::currentJob() const {
    return runningJob.jobs == this ? runningJob.number : 0;
}

bool BackgroundJobs::unjoined(std::uint64_t job) const {
    std::lock_guard lock(mutex_);
    return std::any_of(jobs_.begin(), jobs_.end(), [&](const Job& j) { return j.number == job; });
}

} // namespace platform
