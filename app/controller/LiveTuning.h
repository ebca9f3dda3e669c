#pragma once
// Live tuning of the key the instrument last reported: steps of 0.1 and 0.01 semitone, one key
// or every key back to equal temperament. Each change goes out at once as a real-time
// single-note tuning change; the instrument keeps the tuning, the pitch field is the only memory.
#include "app/controller/TuningServices.h"
#include "app/protocol/TuningStep.h"

#include <chrono>
#include <cstdint>
#include <optional>

namespace malvo {

class LiveTuning {
public:
    explicit LiveTuning(const TuningServices& services) : services_(services) {}

    static constexpr std::chrono::milliseconds resetAllInterval{4};

    // Alerts "Open the Device!" while none is open; a pitch the message cannot carry at all
    // (not a number) sends nothing. False only for a change that the MIDI server failed to send,
    // after its alert: the pitch field then keeps what it showed.
    bool sendNoteTuning(std::uint8_t key, double pitch) const;

    // The pitch to show after the step from `shown`; nullopt when no key is current or the change
    // did not go out.
    std::optional<double> step(const TuningStep& step, double shown) const;
    // The current key back to its equal-tempered pitch, which is returned to be shown.
    std::optional<double> resetKey() const;
    // All 128 keys back, in key order; the current key's pitch to show, if a key is current.
    // Without an instrument only the alert; the first change that fails ends it with its alert.
    std::optional<double> resetAllKeys() const;

private:
    std::optional<std::uint8_t> currentKey() const;

    const TuningServices& services_;
};

} // namespace malvo
