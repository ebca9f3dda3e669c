#pragma once
#include <atomic>
#include <cstdint>

namespace platform {

// Host time in nanoseconds; the timebase is 1/1 so host ticks and nanoseconds are the same.
struct Timebase {
    std::uint32_t numer = 1;
    std::uint32_t denom = 1;
};

class HostClock {
public:
    virtual ~HostClock() = default;
    virtual std::uint64_t now() const = 0;
    static constexpr std::uint64_t ticksPerSecond = 1'000'000'000;
    static constexpr Timebase timebase{1, 1};

    // The process's real clock (CLOCK_MONOTONIC).
    static HostClock& system();
};

class SystemHostClock final : public HostClock {
public:
    std::uint64_t now() const override;
};

// A clock that moves only when told to; for tests.
class ManualClock final : public HostClock {
public:
    explicit ManualClock(std::uint64_t start = 1'000'000'000) : now_(start) {}
    std::uint64_t now() const override { return now_.load(std::memory_order_acquire); }
    void set(std::uint64_t t) { now_.store(t, std::memory_order_release); }
    void advance(std::uint64_t nanoseconds) { now_.fetch_add(nanoseconds, std::memory_order_acq_rel); }

private:
    std::atomic<std::uint64_t> now_;
};

} // namespace platform
