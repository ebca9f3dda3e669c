#include "platform/core/SemaphoreWait.h"

#include <cerrno>
#include <ctime>

namespace platform {

bool waitForPost(sem_t& semaphore, std::chrono::nanoseconds timeout) {
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    until.tv_sec += seconds.count();
    until.tv_nsec += (timeout - seconds).count();
    if (until.tv_nsec >= 1'000'000'000) {
        until.tv_sec += 1;
        until.tv_nsec -= 1'000'000'000;
    }
    // The deadline stays where it was: a signal does not lengthen the wait.
    for (;;) {
        if (sem_clockwait(&semaphore, CLOCK_MONOTONIC, &until) == 0) return true;
        if (errno != EINTR) return false;
    }
}

} // namespace platform
