#include "InstrumentTestSupport.h"

#include "sonabel/midi/instruments/MIDICallbackInstrument.h"

#include <gtest/gtest.h>

using namespace instrumenttest;
using sonabel::MIDICallbackInstrument;

namespace {

class MIDICallbackInstrumentTest : public ::testing::Test {
protected:
    Rig rig{true};
    std::vector<std::string> messages;
    std::shared_ptr<MIDICallbackInstrument> make() {
        return MIDICallbackInstrument::make(
            "Callback",
            [this](sonabel::MIDIByte s, sonabel::MIDIByte a, sonabel::MIDIByte b) {
                messages.push_back(hex({s, a, b}));
            },
            rig.midi, rig.queue);
    }
};

} // namespace

TEST_F(MIDICallbackInstrumentTest, OperationsBecomeChannelMessages) {
    auto instrument = make();
    instrument->receivedMIDIPitchWheel(8192, 0, std::nullopt, std::nullopt);
    instrument->receivedMIDIPitchWheel(16383, 0, std::nullopt, std::nullopt);
    instrument->receivedMIDIPitchWheel(0xFFFF, 1, std::nullopt, std::nullopt); // cut to 14 bits
    instrument->receivedMIDINoteOn(60, 100, 9, std::nullopt, std::nullopt);
    instrument->receivedMIDINoteOn(60, 0, 9, std::nullopt, std::nullopt);
    instrument->receivedMIDINoteOff(61, 77, 15, std::nullopt, std::nullopt);
    instrument->receivedMIDIController(7, 100, 3, std::nullopt, std::nullopt);
    instrument->receivedMIDIAftertouch(60, 20, 2, std::nullopt, std::nullopt);
    instrument->receivedMIDIAftertouch(30, 4, std::nullopt, std::nullopt);
    // Silent ones.
    instrument->receivedMIDIProgramChange(5, 0, std::nullopt, std::nullopt);
    instrument->programChange(5, 0, std::nullopt);
    instrument->receivedMIDISystemCommand({0xF8}, std::nullopt, std::nullopt);
    EXPECT_EQ(messages, (std::vector<std::string>{"E0 00 40", "E0 7F 7F", "E1 7F 7F", "99 3C 64", "89 3C 00",
                                                  "8F 3D 00", "B3 07 64", "A2 3C 14", "D4 1E 00"}));
}

TEST_F(MIDICallbackInstrumentTest, ChannelsAboveFifteenAndAMissingCallbackPassNothing) {
    auto instrument = make();
    instrument->start(60, 100, 16, std::nullopt);
    instrument->receivedMIDIController(1, 2, 255, std::nullopt, std::nullopt);
    EXPECT_TRUE(messages.empty());
    instrument->setCallback(nullptr);
    EXPECT_FALSE(instrument->callback());
    instrument->start(60, 100, 0, std::nullopt);
    instrument->receivedMIDIPitchWheel(1, 0, std::nullopt, std::nullopt);
    EXPECT_TRUE(messages.empty());
}

TEST_F(MIDICallbackInstrumentTest, NamedWithAMixerNodeAndFedFromItsDestination) {
    auto instrument = make();
    EXPECT_EQ(instrument->name(), "Callback");
    EXPECT_EQ(rig.nameOf(instrument->midiIn()), "Callback");
    EXPECT_EQ(instrument->avAudioNode()->typeName(), "AVAudioMixerNode");
    rig.send(instrument->midiIn(),
             {{0x94, 0x30, 0x7F}, {0x84, 0x30, 0x40}, {0xC4, 0x02}, {0xE4, 0x01, 0x02}});
    rig.server->runPending();
    EXPECT_TRUE(messages.empty());
    rig.driver.runUntilIdle();
    // A note off from the destination is passed on with velocity 0.
    EXPECT_EQ(messages, (std::vector<std::string>{"94 30 7F", "84 30 00", "E4 01 02"}));
}

TEST_F(MIDICallbackInstrumentTest, DefaultsAndLaterCallback) {
    auto instrument = MIDICallbackInstrument::make("Later", nullptr, rig.midi, rig.queue);
    EXPECT_FALSE(instrument->callback());
    std::vector<std::string> later;
    instrument->setCallback([&](sonabel::MIDIByte s, sonabel::MIDIByte a, sonabel::MIDIByte b) {
        later.push_back(hex({s, a, b}));
    });
    instrument->stop(1, 2, std::nullopt);
    EXPECT_EQ(later, (std::vector<std::string>{"82 01 00"}));
}
