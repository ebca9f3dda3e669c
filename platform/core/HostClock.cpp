#include "platform/core/HostClock.h"

#include <ctime>

namespace platform {

std::uint64_t SystemHostClock::now() const {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * ticksPerSecond + static_cast<std::uint64_t>(ts.tv_nsec);
}

HostClock& HostClock::system() {
    static SystemHostClock clock;
    return clock;
}

} // namespace platform
