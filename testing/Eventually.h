#pragma once
// Real-time waits in tests. The deadline is generous: what takes milliseconds on a quiet machine
// may take seconds on a loaded two-core one or in an emulated guest, and a wait that succeeds
// returns at once. Only a hang costs the whole deadline, and it still fails.
#include <chrono>
#include <thread>

namespace testwait {

inline constexpr std::chrono::seconds kDeadline{30};

// True as soon as done() holds; false once the deadline has passed without it.
template <class Condition>
bool eventually(Condition done, std::chrono::steady_clock::duration limit = kDeadline) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until) return done();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

} // namespace testwait
