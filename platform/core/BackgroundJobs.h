#pragma once
#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace platform {

// Work off the main thread, on threads that are joined (never detached) before the process ends.
class BackgroundJobs {
public:
    BackgroundJobs() = default;
    ~BackgroundJobs();
    BackgroundJobs(const BackgroundJobs&) = delete;
    BackgroundJobs& operator=(const BackgroundJobs&) = delete;

    static BackgroundJobs& shared();

    void run(std::function<void()> job);
    // Waits for every job started so far.
    void joinAll();
    std::size_t activeCount() const;

private:
    struct Job {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    void reapFinished(std::unique_lock<std::mutex>& lock);

    mutable std::mutex mutex_;
    std::list<Job> jobs_;
};

} // namespace platform
