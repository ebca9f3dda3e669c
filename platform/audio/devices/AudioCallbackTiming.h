#pragma once
#include <cstdint>
#include <optional>

namespace platform {

// Underruns of an output stream as its callbacks show them. The device (or sound server) plays at its
// rate from its start on (the first callback, or the first one it paces when it starts later); when a
// callback comes so late that everything handed to it before has been played and a period more, it
// has played silence meanwhile. That, or the device's own flag, counts as one underrun. The drift
// between the device's clock and the host's is taken out as it builds up. Runs on the rendering
// thread: no allocation, no lock.
class AudioCallbackTiming {
public:
    AudioCallbackTiming(double sampleRate, std::uint32_t periodFrames);

    // A callback at `hostTime` (nanoseconds) asking for `frames`; `flagged` when the device reported an
    // underrun itself. Returns true when one happened before it; silenceFrames() then tells how long
    // the timing says it lasted (0 when only the flag said so).
    bool callback(std::uint64_t hostTime, std::uint32_t frames, bool flagged);
    std::uint64_t silenceFrames() const { return silence_; }

private:
    static constexpr std::uint64_t kWindowTicks = 2'000'000'000; // 2 s
    void startWindow(std::uint64_t hostTime, double late);
    void track(std::uint64_t hostTime, double& late);

    const double rate_;
    const std::uint32_t period_;
    bool started_ = false;
    bool paced_ = false;       // a callback has come a half period or more after the one before
    std::uint64_t last_ = 0;   // host time of the last callback
    std::uint64_t anchor_ = 0; // when the device started, or of the callback after the last underrun
    std::uint64_t handed_ = 0; // frames handed to the device since then
    std::uint64_t silence_ = 0;
    // Lateness of the earliest callback in windows of a few seconds, to take out clock drift.
    std::uint64_t windowEnd_ = 0;
    double windowEarliest_ = 0;
    std::optional<double> reference_; // the first window's, since the start or the last underrun
    double drift_ = 0;                // frames the device's clock has gained on the host's since then
};

} // namespace platform
