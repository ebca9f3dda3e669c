#pragma once
// Every SysEx from the open instrument goes through here: it sets the handshake flags and fills
// the buffers that waiting requests poll, writes finished banks to their files and hands what is
// to be shown to its output. Runs on the MIDI thread, one message at a time; it never sends and
// never waits for the main thread. Free of Qt, so it is tested and fuzzed with bare bytes.
#include "app/controller/ControllerState.h"
#include "app/controller/ReceiveHandlerOutput.h"
#include "platform/core/HostClock.h"

#include <cstdint>
#include <span>

namespace malvo {

class ReceiveHandler {
public:
    // `clock` tells how long ago a fetch was asked for.
    ReceiveHandler(ControllerState& state, ReceiveHandlerOutput& output,
                   const platform::HostClock& clock = platform::HostClock::system())
        : state_(state), output_(output), clock_(clock) {}

    void handle(std::span<const std::uint8_t> message);

private:
    void takeTuningDump(std::span<const std::uint8_t> dump);
    // Appends one record; the last one writes the collected bank to its file.
    void takeRecord(std::span<const std::uint8_t> data, bool first, bool last);
    void takeMicrotuningState(std::uint8_t command, std::uint8_t value);
    void takeTuningName(std::uint8_t slot, const std::string& name);

    ControllerState& state_;
    ReceiveHandlerOutput& output_;
    const platform::HostClock& clock_;
};

} // namespace malvo
