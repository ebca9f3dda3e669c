#pragma once
// What a transfer job needs of the outside: a way to put bytes on the wire, a way to tell that the
// instrument is still there, and the one sleeper it waits with.
#include "platform/core/Sleeper.h"
#include "sonabel/midi/MIDISendOutcome.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>

namespace malvo {

struct TransferLink {
    // Sends one whole message, already framed, to the open instrument, and tells how it went.
    std::function<sonabel::MIDISendOutcome(std::span<const std::uint8_t>)> send;
    // False once the instrument's ports are gone; may be called from any thread.
    std::function<bool()> instrumentPresent;
    platform::Sleeper* sleeper = nullptr;
    // Set when the job is to end early (its controller is going away, or the application ends).
    std::function<bool()> cancelled;

    bool stopRequested() const { return cancelled && cancelled(); }
    bool stillThere() const { return !stopRequested() && (!instrumentPresent || instrumentPresent()); }
    // Sleeps unless the job is to end; a job asked to stop neither waits nor sends again.
    void pause(std::chrono::nanoseconds duration) const {
        if (!stopRequested()) sleeper->sleepFor(duration);
    }
};

} // namespace malvo
