#include "sonabel/midi/listeners/MIDIMonoPolyListener.h"
#include "sonabel/midi/listeners/MIDIOMNIListener.h"

#include <gtest/gtest.h>

using sonabel::MIDIMonoPolyListener;
using sonabel::MIDIOMNIListener;

namespace {
template <class L>
void controller(L& listener, sonabel::MIDIByte number, sonabel::MIDIByte value = 0,
                sonabel::MIDIChannel channel = 0) {
    listener.receivedMIDIController(number, value, channel, 7, 1234);
}
} // namespace

TEST(ChannelModeListeners, MonoAndPolyModeOnFromAnyChannelAndValue) {
    MIDIMonoPolyListener listener(false);
    controller(listener, 123); // all notes off
    controller(listener, 124);
    controller(listener, 125);
    EXPECT_FALSE(listener.monoMode());
    controller(listener, 126, 99, 15);
    EXPECT_TRUE(listener.monoMode());
    controller(listener, 126, 0, 3); // repeated
    EXPECT_TRUE(listener.monoMode());
    listener.receivedMIDINoteOn(126, 1, 0, std::nullopt, std::nullopt); // not a controller
    controller(listener, 127);
    EXPECT_FALSE(listener.monoMode());
}

TEST(ChannelModeListeners, OmniModeOnAndOff) {
    MIDIOMNIListener listener(true); // kept until Omni Mode Off
    for (sonabel::MIDIByte number : {0, 123, 125, 126, 127})
        controller(listener, number, 127, 15);
    EXPECT_TRUE(listener.omniMode());
    controller(listener, 124, 55, 9);
    EXPECT_FALSE(listener.omniMode());
    controller(listener, 126);
    EXPECT_FALSE(listener.omniMode());
    controller(listener, 125);
    EXPECT_TRUE(listener.omniMode());
    listener.setOmniMode(false);
    EXPECT_FALSE(listener.omniMode());
}
