#pragma once
#include <atomic>
#include <cstdint>
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

    // Returns the job's number, never given to another job.
    std::uint64_t run(std::function<void()> job);
    // Waits for that job to end and joins its thread; at once for a job already joined, and from the
    // job's own thread, which cannot wait for itself.
    void join(std::uint64_t job);
    // Waits for every job started so far.
    void joinAll();
    // Joins the jobs that have ended, and waits for none.
    void joinEnded();
    std::size_t activeCount() const;
    // The number of the job of ours the calling thread runs, 0 on any other thread.
    std::uint64_t currentJob() const;
    // Whether the job has started and its thread is not joined yet (ended or not).
    bool unjoined(std::uint64_t job) const;

private:
    struct Job {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
        std::uint64_t number = 0;
    };
    void reapFinished(std::unique_lock<std::mutex>& lock);

    mutable std::mutex mutex_;
    std::list<Job> jobs_;
    std::uint64_t lastNumber_ = 0; // under mutex_
};

} // namespace platform
