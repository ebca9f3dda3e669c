// Pacing toward kernel MIDI ports.
#include "platform/midi/alsa/AlsaOutputPacer.h"

#include <algorithm>
#include <cmath>

namespace platform::midi {

AlsaOutputPacer::AlsaOutputPacer(HostClock& clock, Sleeper& sleeper, std::size_t bytesPerSecond,
                                 std::size_t budgetBytes)
    : clock_(clock), sleeper_(sleeper), bytesPerSecond_(static_cast<double>(bytesPerSecond)),
      budget_(static_cast<double>(std::max<std::size_t>(budgetBytes, 1))) {}

void AlsaOutputPacer::drain(Buffer& buffer) {
    const std::uint64_t now = clock_.now();
    if (now > buffer.at) {
        const double seconds = static_cast<double>(now - buffer.at) / HostClock::ticksPerSecond;
        buffer.bytes = std::max(0.0, buffer.bytes - seconds * bytesPerSecond_);
    }
    buffer.at = now;
}

std::chrono::nanoseconds AlsaOutputPacer::take(int client, int port, std::size_t bytes) {
    if (bytesPerSecond_ <= 0) return {};
    const double wanted = static_cast<double>(bytes);
    // The buffer must fall to what leaves room; an oversized write waits for it to be empty.
    const double target = std::max(0.0, budget_ - wanted);
    std::lock_guard lock(mutex_);
    Buffer& buffer = buffers_[{client, port}];
    drain(buffer);
    const double excess = buffer.bytes - target;
    if (excess <= 0) {
        buffer.bytes += wanted;
        return {};
    }
    // At least a tick: a caller that waits nothing would find no room again.
    return std::chrono::nanoseconds(std::max<std::int64_t>(
        1, static_cast<std::int64_t>(std::ceil(excess / bytesPerSecond_ * HostClock::ticksPerSecond))));
}

void AlsaOutputPacer::waitForRoom(int client, int port, std::size_t bytes) {
    for (auto wait = take(client, port, bytes); wait.count() > 0; wait = take(client, port, bytes))
        sleeper_.sleepFor(wait);
}

std::size_t AlsaOutputPacer::inFlight(int client, int port) {
    std::lock_guard lock(mutex_);
    Buffer& buffer = buffers_[{client, port}];
    drain(buffer);
    return static_cast<std::size_t>(std::ceil(buffer.bytes));
}

void AlsaOutputPacer::forget(int client, int port) {
    std::lock_guard lock(mutex_);
    std::erase_if(buffers_, [&](const auto& entry) {
        return entry.first.first == client && (port < 0 || entry.first.second == port);
    });
}

} // namespace platform::midi
