#include "app/ControllerServices.h"

namespace malvo {

std::shared_ptr<sonabel::MIDI> ControllerServices::applicationMIDI() {
    static const auto midi = sonabel::MIDI::make();
    return midi;
}

ControllerServices ControllerServices::resolved() const {
    ControllerServices out = *this;
    if (!out.midi) out.midi = applicationMIDI();
    if (!out.notifications) out.notifications = &platform::NotificationCenter::defaultCenter();
    if (!out.receiver) {
        out.receiver = out.notifications == &platform::NotificationCenter::defaultCenter()
                           ? MIDIReceiver::shared()
                           : std::make_shared<MIDIReceiver>(*out.notifications);
    }
    if (!out.sleeper) out.sleeper = &platform::Sleeper::system();
    if (!out.clock) out.clock = &platform::HostClock::system();
    return out;
}

} // namespace malvo
