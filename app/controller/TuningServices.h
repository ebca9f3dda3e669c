#pragma once
// What the tuning flows need of the controller, free of widgets: the shared state, alerts and
// panels, the sleeper for the 10 ms polls and the two ways of sending. Every flow runs on the
// main thread; the replies it waits for are stored by the receive handler on the MIDI thread.
#include "app/controller/ControllerState.h"
#include "platform/core/HostClock.h"
#include "platform/core/Sleeper.h"
#include "platform/ui/Dialogs.h"
#include "sonabel/midi/MIDISendOutcome.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace malvo {

struct TuningServices {
    using Send = std::function<sonabel::MIDISendOutcome(std::span<const std::uint8_t>)>;

    ControllerState& state;
    platform::Dialogs& dialogs;
    platform::Sleeper& sleeper;
    std::function<bool()> deviceOpen;
    // A plain instrument message, framed as the open instrument speaks.
    Send sendSysEx;
    // Exactly these bytes, whatever the instrument's framing.
    Send sendUnframed;
    // The receive handler's: fetches are remembered for a time measured on it.
    const platform::HostClock& clock = platform::HostClock::system();

    static constexpr std::chrono::milliseconds pollInterval{10};
    // About one second: a sleep before the first look and 99 more.
    static constexpr int pollCount = 100;

    std::uint8_t model() const { return static_cast<std::uint8_t>(state.device_model.load()); }
    // An alert titled "Error", as every tuning alert is.
    void alert(const std::string& message) const;
    // False, with "Open the Device!", while no instrument is open.
    bool requireDevice() const;
    // sendSysEx() once an instrument is open; false after "Open the Device!" or after the alert
    // for a send that failed, which begins with `whatFailed`.
    bool sendCommand(std::span<const std::uint8_t> plainMessage, std::string_view whatFailed) const;
    // True when it went out; else false after the alert that begins with `whatFailed`.
    bool sent(const sonabel::MIDISendOutcome& outcome, std::string_view whatFailed) const;
    // Sleeps, then looks, up to `sleeps` times; true as soon as done() holds.
    bool waitFor(const std::function<bool()>& done, int sleeps = pollCount) const;
};

} // namespace malvo
