#pragma once
// Keeps the bytes in flight toward each kernel MIDI port within a budget, modelling the port's
// output buffer as draining at the cable's rate: for ports whose room the kernel does not report.
// Sends toward different ports may wait at once; the caller serialises those toward one port.
#include "platform/core/HostClock.h"
#include "platform/core/Sleeper.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>

namespace platform::midi {

class AlsaOutputPacer {
public:
    // bytesPerSecond 0: no pacing.
    AlsaOutputPacer(HostClock& clock, Sleeper& sleeper, std::size_t bytesPerSecond, std::size_t budgetBytes);

    // Waits until `bytes` more fit, then counts them as in flight. A write larger than the
    // budget waits for an empty buffer.
    void waitForRoom(int client, int port, std::size_t bytes);
    // Counts `bytes` as in flight if they fit now (zero returned); else how long until they may.
    std::chrono::nanoseconds take(int client, int port, std::size_t bytes);
    // Bytes the model holds for the port now.
    std::size_t inFlight(int client, int port);
    // The port went: a port given its number later starts empty.
    void forget(int client, int port);

private:
    struct Buffer {
        double bytes = 0;
        std::uint64_t at = 0;
    };
    void drain(Buffer& buffer);

    HostClock& clock_;
    Sleeper& sleeper_;
    double bytesPerSecond_;
    double budget_;
    std::mutex mutex_; // not held while sleeping
    std::map<std::pair<int, int>, Buffer> buffers_;
};

} // namespace platform::midi
