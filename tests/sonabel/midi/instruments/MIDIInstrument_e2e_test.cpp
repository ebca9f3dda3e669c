// Instruments' private destinations fed by another client through the in-process server's
// delivery thread.
#include "InstrumentTestSupport.h"

#include "sonabel/midi/instruments/MIDICallbackInstrument.h"
#include "sonabel/midi/instruments/MIDISampler.h"
#include "testing/Eventually.h"

#include <gtest/gtest.h>

#include <thread>

using namespace instrumenttest;

TEST(InstrumentEndToEnd, NotesFromAnotherClientReachTheCallbackOnTheMainThread) {
    Rig rig(false);
    std::vector<std::string> messages;
    std::vector<std::thread::id> threads;
    auto instrument = sonabel::MIDICallbackInstrument::make(
        "Receiver",
        [&](sonabel::MIDIByte s, sonabel::MIDIByte a, sonabel::MIDIByte b) {
            messages.push_back(hex({s, a, b}));
            threads.push_back(std::this_thread::get_id());
        },
        rig.midi, rig.queue);
    for (int note = 60; note < 64; ++note) {
        rig.send(instrument->midiIn(), {{0x90, static_cast<std::uint8_t>(note), 0x64}});
        rig.send(instrument->midiIn(), {{0x80, static_cast<std::uint8_t>(note), 0x40}, {0xB0, 0x40, 0x7F}});
    }
    ASSERT_TRUE(rig.server->waitUntilIdle(testwait::kDeadline));
    rig.driver.runUntilIdle();
    EXPECT_EQ(messages, (std::vector<std::string>{"90 3C 64", "80 3C 00", "B0 40 7F", "90 3D 64", "80 3D 00",
                                                  "B0 40 7F", "90 3E 64", "80 3E 00", "B0 40 7F", "90 3F 64",
                                                  "80 3F 00", "B0 40 7F"}));
    for (auto id : threads)
        EXPECT_EQ(id, std::this_thread::get_id());
}

TEST(InstrumentEndToEnd, ASamplerRendersWhatAnotherClientPlays) {
    Rig rig(false);
    auto sampler = sonabel::MIDISampler::make("Sampler", rig.midi);
    rig.send(sampler->midiIn(), {{0x90, 0x45, 0x7F}, {0x91, 0x40, 0x7F}});
    ASSERT_TRUE(rig.server->waitUntilIdle(testwait::kDeadline));
    auto unit = sampler->samplerUnit->auAudioUnit();
    unit->beginRender(0);
    unit->applyEventsDue(0);
    EXPECT_EQ(sampler->samplerUnit->activeVoiceCount(), 2u);
    rig.send(sampler->midiIn(), {{0x80, 0x45, 0x00}});
    ASSERT_TRUE(rig.server->waitUntilIdle(testwait::kDeadline));
    unit->beginRender(64);
    unit->applyEventsDue(64);
    ASSERT_EQ(sampler->samplerUnit->receivedMIDI().size(), 3u);
    EXPECT_EQ(sampler->samplerUnit->receivedMIDI()[2].sampleTime, 64);
}

TEST(InstrumentEndToEnd, AnInstrumentGoingAwayWhileNotesArriveIsSafe) {
    Rig rig(false);
    auto instrument = sonabel::MIDICallbackInstrument::make(
        "Short-lived", [](sonabel::MIDIByte, sonabel::MIDIByte, sonabel::MIDIByte) {}, rig.midi, rig.queue);
    const auto destination = instrument->midiIn();
    std::thread sender([&] {
        for (int i = 0; i < 200; ++i)
            rig.send(destination, {{0x90, 0x3C, 0x40}});
    });
    for (int i = 0; i < 20; ++i)
        rig.driver.runUntilIdle();
    instrument.reset();
    sender.join();
    ASSERT_TRUE(rig.server->waitUntilIdle(testwait::kDeadline));
    rig.driver.runUntilIdle();
    EXPECT_EQ(rig.queue.pendingCount(), 0u);
}
