#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>

namespace platform {

class ManualClock;

// The one way product code waits; tests substitute a sleeper that only moves a manual clock.
class Sleeper {
public:
    virtual ~Sleeper() = default;
    virtual void sleepFor(std::chrono::nanoseconds duration) = 0;

    static Sleeper& system();
};

class SystemSleeper final : public Sleeper {
public:
    void sleepFor(std::chrono::nanoseconds duration) override;
};

// Advances a manual clock instead of waiting, and counts the calls.
class ManualSleeper final : public Sleeper {
public:
    explicit ManualSleeper(ManualClock& clock) : clock_(clock) {}
    void sleepFor(std::chrono::nanoseconds duration) override;
    std::uint64_t calls() const { return calls_.load(); }

private:
    ManualClock& clock_;
    std::atomic<std::uint64_t> calls_{0};
};

} // namespace platform
