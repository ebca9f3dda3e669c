// The start-up choice between the sequencer and the in-process server.
#include "platform/core/LogSink.h"
#include "platform/midi/MIDIServerChoice.h"
#include "platform/midi/alsa/AlsaServer.h"
#include "platform/midi/inprocess/InProcessServer.h"
#include "testing/FakeSequencer.h"

#include <gtest/gtest.h>

using namespace platform::midi;

TEST(MIDIServerChoice, EmulationForcesTheInProcessServerAndAMissingSequencerFallsBackToIt) {
    platform::ScopedLogCapture log;
    int opened = 0;
    auto sequencer = std::make_shared<InProcessServer>(); // stands for an opened sequencer
    auto opens = [&](std::string*) -> std::shared_ptr<Server> {
        ++opened;
        return sequencer;
    };
    auto fails = [&](std::string* why) -> std::shared_ptr<Server> {
        ++opened;
        *why = "no /dev/snd/seq";
        return nullptr;
    };

    auto chosen = MIDIServerChoice::choose("1", opens);
    EXPECT_NE(chosen, sequencer);
    EXPECT_NE(std::dynamic_pointer_cast<InProcessServer>(chosen), nullptr);
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(MIDIServerChoice::choose(nullptr, opens), sequencer);
    EXPECT_EQ(MIDIServerChoice::choose("0", opens), sequencer);
    EXPECT_EQ(MIDIServerChoice::choose("", opens), sequencer);
    chosen = MIDIServerChoice::choose(nullptr, fails);
    EXPECT_NE(std::dynamic_pointer_cast<InProcessServer>(chosen), nullptr);
    EXPECT_EQ(chosen->numberOfSources() + chosen->numberOfDestinations(), 0u);

    std::vector<std::string> lines;
    for (const auto& entry : log.entries()) {
        EXPECT_EQ(entry.category, "midi");
        lines.push_back(entry.text);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"MIDI server: in-process (SONABEL_MIDI_EMULATE is set)",
                                               "MIDI server: ALSA sequencer", "MIDI server: ALSA sequencer",
                                               "MIDI server: ALSA sequencer",
                                               "MIDI server: in-process, no devices (no /dev/snd/seq)"}));
}

TEST(MIDIServerChoice, OnlyAnotherProgramsOrADevicesPortCountsAsExternal) {
    constexpr unsigned kIn = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
    const AlsaPortInfo system{0, 1, "System", "Announce", kIn, true};
    const AlsaPortInfo through{14, 0, "Midi Through", "Midi Through Port-0", kIn, true};
    const AlsaPortInfo own{128, 0, "Sonabel probe", "x", kIn, false};
    const AlsaPortInfo hidden{129, 0, "Other", "x", kIn | SND_SEQ_PORT_CAP_NO_EXPORT, false};
    const AlsaPortInfo device{20, 0, "Toskar MK2", "Toskar MK2 MIDI 1", kIn, true};
    EXPECT_FALSE(MIDIServerChoice::listsExternalPort({}, 128));
    const std::vector<AlsaPortInfo> bare{system, through, own, hidden};
    EXPECT_FALSE(MIDIServerChoice::listsExternalPort(bare, 128));
    const std::vector<AlsaPortInfo> withDevice{system, through, own, device};
    EXPECT_TRUE(MIDIServerChoice::listsExternalPort(withDevice, 128));
}
