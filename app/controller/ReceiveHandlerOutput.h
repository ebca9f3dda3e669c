#pragma once
// What the receive handler shows. Called on the MIDI thread: an implementation that touches
// controls hands the values on to the main queue and returns without waiting.
#include <cstdint>

namespace malvo {

class ReceiveHandlerOutput {
public:
    virtual ~ReceiveHandlerOutput() = default;

    // Key report: the key (0 to 127) and its pitch in semitones.
    virtual void showKey(std::uint8_t /*key*/, double /*pitch*/) {}
    virtual void showKeyReleased() {}
    // Microtuning state 0 or 1, reported by command 06 24 (switch title only) or 30 (title and
    // note switch).
    virtual void showMicrotuningState(std::uint8_t /*command*/, std::uint8_t /*state*/) {}
    // A state report other than 0 or 1: "Wrong state!".
    virtual void showWrongState() {}
    // The instrument changed its current program: its name is gone.
    virtual void clearProgramName() {}
};

} // namespace malvo
