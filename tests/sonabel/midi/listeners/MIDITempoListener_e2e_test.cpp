// A tempo listener registered with a MIDI object, fed a 120 BPM clock by an external source
// through the in-process server's delivery thread.
#include "ListenerTestSupport.h"

#include "platform/midi/inprocess/InProcessServer.h"
#include "sonabel/midi/MIDI.h"
#include "sonabel/midi/listeners/MIDITempoListener.h"
#include "testing/Eventually.h"

#include <gtest/gtest.h>

using namespace listenertest;
using namespace std::chrono_literals;
using Calls = std::vector<std::string>;

TEST(TempoListenerEndToEnd, FollowsA120BPMClockAndNoticesItStop) {
    ManualMainQueue main;
    auto server = std::make_shared<platform::midi::InProcessServer>();
    auto midi = sonabel::MIDI::make({server});
    MIDIEndpointRef source = 0;
    server->addExternalSource({.name = "Drum Machine", .uniqueID = 808}, &source);
    ASSERT_TRUE(server->waitUntilIdle(testwait::kDeadline));

    auto listener = sonabel::MIDITempoListener::make(10, 0.9, main.queue);
    auto tempo = std::make_shared<TempoRecorder>();
    auto beats = std::make_shared<BeatRecorder>();
    auto transport = std::make_shared<TransportRecorder>();
    listener->addObserver(tempo);
    listener->clockListener()->addObserver(beats);
    listener->srtListener()->addObserver(transport);
    midi->addListener(listener);
    midi->openInput(MIDIUniqueID{808});

    // Two bars at 120 BPM: 24 clocks a quarter note, 20,833,333 ns apart, then Stop.
    const std::uint64_t start = 5'000'000'000;
    const std::uint8_t startByte[] = {0xFA};
    server->sendFromSource(source, startByte, start);
    for (int i = 0; i < 24 * 8; ++i) {
        const std::uint8_t clockByte[] = {0xF8};
        server->sendFromSource(source, clockByte, start + 1'000 + static_cast<std::uint64_t>(i) * 20'833'333);
    }
    const std::uint8_t stopByte[] = {0xFC};
    server->sendFromSource(source, stopByte, start + 4'100'000'000);
    ASSERT_TRUE(server->waitUntilIdle(testwait::kDeadline));

    EXPECT_EQ(listener->tempoString(), "120.06");
    EXPECT_NEAR(listener->tempo(), 120.055, 1e-4);
    EXPECT_EQ(tempo->take(), (Calls{"clockStarted", "tempo 120.06"}));
    Calls quarters;
    for (const auto& call : beats->calls())
        if (call.rfind("quarter", 0) == 0) quarters.push_back(call);
    EXPECT_EQ(quarters, (Calls{"quarter 1", "quarter 2", "quarter 3", "quarter 4", "quarter 1", "quarter 2",
                               "quarter 3", "quarter 4"}));
    EXPECT_EQ(beats->quantumCount, 192);
    EXPECT_EQ(beats->lastQuantum.spp, 31u);
    EXPECT_EQ(transport->calls(), (Calls{"start playing", "stop paused"}));

    // Every clock re-armed the watchdog through the main queue; silence then makes the system leader.
    main.driver.runUntilIdle();
    main.driver.advance(1599ms);
    EXPECT_TRUE(tempo->take().empty());
    main.driver.advance(1ms);
    EXPECT_EQ(tempo->take(), (Calls{"leader"}));
    EXPECT_FALSE(listener->isIncomingClockActive());
    midi->removeListener(listener);
}
