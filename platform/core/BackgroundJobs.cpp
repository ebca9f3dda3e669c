#include "platform/core/BackgroundJobs.h"

#include <vector>

namespace platform {

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

void BackgroundJobs::run(std::function<void()> job) {
    std::unique_lock lock(mutex_);
    reapFinished(lock);
    auto done = std::make_shared<std::atomic<bool>>(false);
    jobs_.push_back(Job{std::thread([job = std::move(job), done] {
                            job();
                            done->store(true);
                        }),
                        done});
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

} // namespace platform
