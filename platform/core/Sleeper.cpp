#include "platform/core/Sleeper.h"

#include "platform/core/HostClock.h"

#include <thread>

namespace platform {

void SystemSleeper::sleepFor(std::chrono::nanoseconds duration) {
    if (duration.count() > 0) std::this_thread::sleep_for(duration);
}

Sleeper& Sleeper::system() {
    static SystemSleeper sleeper;
    return sleeper;
}

void ManualSleeper::sleepFor(std::chrono::nanoseconds duration) {
    ++calls_;
    if (duration.count() > 0) clock_.advance(static_cast<std::uint64_t>(duration.count()));
}

} // namespace platform
