#pragma once
// What the controller talks to beyond its window. Empty members stand for the process's own: its
// MIDI object (made on first use on the current MIDI server), its receiver, the default
// notification center, the system sleeper and clock. Tests give their own server's object and a sleeper
// that lets the emulated instrument answer.
#include "app/MIDIReceiver.h"
#include "platform/core/HostClock.h"
#include "platform/core/NotificationCenter.h"
#include "platform/core/Sleeper.h"
#include "sonabel/midi/MIDI.h"

#include <memory>

namespace malvo {

struct ControllerServices {
    std::shared_ptr<sonabel::MIDI> midi;
    std::shared_ptr<MIDIReceiver> receiver;
    platform::NotificationCenter* notifications = nullptr;
    platform::Sleeper* sleeper = nullptr;
    // The time the receive handler stamps replies with; the system clock when empty.
    platform::HostClock* clock = nullptr;

    // The application's MIDI object, made on first use from any thread.
    static std::shared_ptr<sonabel::MIDI> applicationMIDI();
    // Every empty member filled with the process's own.
    ControllerServices resolved() const;
};

} // namespace malvo
