#pragma once
#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>

namespace platform {

// A device backend's stop that a sound server can keep from finishing (a suspended sink, a stalled
// or vanished server): first the callbacks stop reaching the engine through a gate, then the
// streams or the client stop on a job that may wait, and a stop that has not finished in time is
// left to that job.

// What a device callback reaches the engine through. A callback passes it while a Pass lives, and
// never waits meanwhile.
class CallbackGate {
public:
    // Returns once no callback is past the gate; none gets past it after. A callback renders a
    // period and never waits: this waits that long at most.
    void close();

    class Pass {
    public:
        explicit Pass(CallbackGate& gate);
        ~Pass();
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;
        explicit operator bool() const { return open_; }

    private:
        CallbackGate& gate_;
        bool open_ = false;
    };

private:
    std::atomic<bool> open_{true};
    std::atomic<int> inside_{0};
};

// Runs `stop` on a job of its own, and what it holds goes with it on that job. False when it has not
// ended within `budget`: the job goes on without anyone waiting for it, and ends when the server lets
// it or with the process.
bool stopWithin(std::function<void()> stop, std::chrono::nanoseconds budget);

// Joins the stops left to their jobs that have ended since; returns how many have not.
std::size_t joinEndedStops();

// Says in the log, once for each `told`, that a stop was left to its job after `budget`.
void tellStopLeftRunning(std::atomic<bool>& told, std::chrono::milliseconds budget);

} // namespace platform
