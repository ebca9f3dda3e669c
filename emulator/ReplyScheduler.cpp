#include "emulator/ReplyScheduler.h"

#include <algorithm>
#include <chrono>

namespace emulation {

ReplyScheduler::ReplyScheduler(platform::HostClock& clock, Send send, bool withThread)
    : clock_(clock), send_(std::move(send)) {
    if (withThread) thread_ = std::thread([this] { run(); });
}

ReplyScheduler::~ReplyScheduler() {
    stop();
}

void ReplyScheduler::schedule(std::vector<std::uint8_t> message, std::uint64_t delay) {
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return;
        const std::uint64_t due = std::max(clock_.now() + delay, lastDue_);
        lastDue_ = due;
        queue_.push_back({due, std::move(message)});
    }
    wake_.notify_all();
}

std::size_t ReplyScheduler::pump() {
    std::lock_guard sending(sendMutex_);
    std::size_t sent = 0;
    for (;;) {
        std::vector<std::uint8_t> message;
        {
            std::lock_guard lock(mutex_);
            if (stopped_ || queue_.empty() || queue_.front().due > clock_.now()) break;
            message = std::move(queue_.front().message);
            queue_.pop_front();
        }
        send_(message);
        ++sent;
    }
    return sent;
}

std::size_t ReplyScheduler::pending() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

void ReplyScheduler::clear() {
    std::lock_guard lock(mutex_);
    queue_.clear();
}

void ReplyScheduler::stop() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        queue_.clear();
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void ReplyScheduler::run() {
    // A manual clock moves without telling anyone, so a waiting message is looked at often.
    constexpr auto recheck = std::chrono::milliseconds(2);
    std::unique_lock lock(mutex_);
    while (!stopped_) {
        if (queue_.empty()) {
            wake_.wait(lock);
            continue;
        }
        const std::uint64_t now = clock_.now();
        const std::uint64_t due = queue_.front().due;
        if (due > now) {
            wake_.wait_for(lock,
                           std::min<std::chrono::nanoseconds>(std::chrono::nanoseconds(due - now), recheck));
            continue;
        }
        lock.unlock();
        pump();
        lock.lock();
    }
}

} // namespace emulation
