#pragma once
// Sends the instrument's messages in the order they were made, each once its time on the
// injected clock has come. Sends happen in pump(), which the caller or the scheduler's own
// thread runs; both may run it at once, the sends stay in order.
#include "platform/core/HostClock.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace emulation {

class ReplyScheduler {
public:
    using Send = std::function<void(const std::vector<std::uint8_t>&)>;

    // With a thread, messages that come due are sent without a pump() call; a manual clock is
    // looked at every few milliseconds while something waits.
    ReplyScheduler(platform::HostClock& clock, Send send, bool withThread);
    ~ReplyScheduler();
    ReplyScheduler(const ReplyScheduler&) = delete;
    ReplyScheduler& operator=(const ReplyScheduler&) = delete;

    // Due after `delay` nanoseconds, and never before a message scheduled earlier.
    void schedule(std::vector<std::uint8_t> message, std::uint64_t delay);
    // Sends what is due; returns how many were sent.
    std::size_t pump();
    std::size_t pending() const;
    void clear();
    // Sends nothing more; joins the thread.
    void stop();

private:
    struct Entry {
        std::uint64_t due = 0;
        std::vector<std::uint8_t> message;
    };
    void run();

    platform::HostClock& clock_;
    Send send_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Entry> queue_;
    std::uint64_t lastDue_ = 0;
    bool stopped_ = false;
    std::mutex sendMutex_; // keeps sends in queue order across pumping threads
    std::thread thread_;
};

} // namespace emulation
