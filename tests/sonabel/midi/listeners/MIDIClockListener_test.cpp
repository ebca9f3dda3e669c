#include "ListenerTestSupport.h"

#include "sonabel/midi/listeners/MIDIClockListener.h"

#include <gtest/gtest.h>

using namespace listenertest;
using sonabel::MIDIClockListener;
using sonabel::MIDISystemRealTimeListener;
using Calls = std::vector<std::string>;

namespace {

class MIDIClockListenerTest : public ::testing::Test {
protected:
    void SetUp() override {
        clock = MIDIClockListener::make(srt, 24, nullptr);
        clock->addObserver(beats);
    }
    void transport(sonabel::MIDIByte status) {
        srt->receivedMIDISystemCommand({status}, std::nullopt, std::nullopt);
    }
    void clocks(int n) {
        for (int i = 0; i < n; ++i)
            clock->midiClockBeat(++time);
    }
    std::shared_ptr<MIDISystemRealTimeListener> srt = std::make_shared<MIDISystemRealTimeListener>();
    std::shared_ptr<MIDIClockListener> clock;
    std::shared_ptr<BeatRecorder> beats = std::make_shared<BeatRecorder>();
    MIDITimeStamp time = 0;
};

} // namespace

TEST_F(MIDIClockListenerTest, DefaultsAndRegistration) {
    auto fresh = MIDIClockListener::make(srt, 24, nullptr);
    EXPECT_EQ(fresh->quantumsPerQuarterNote(), 24);
    EXPECT_EQ(fresh->quarterNoteQuantumCounter(), 0);
    EXPECT_EQ(fresh->quantumCounter(), 0u);
    EXPECT_EQ(fresh->sppMIDIBeatCounter(), 0u);
    EXPECT_EQ(fresh->sppMIDIBeatQuantumCounter(), 0);
    EXPECT_EQ(fresh->fourCount(), 0);
    EXPECT_FALSE(fresh->sendStart() || fresh->sendContinue());
    EXPECT_TRUE(fresh->observers().empty());
    EXPECT_EQ(fresh->srtListener(), srt);
    ASSERT_EQ(srt->observers().size(), 2u);
    EXPECT_EQ(srt->observers()[1].get(), static_cast<sonabel::MIDISystemRealTimeObserver*>(fresh.get()));
    std::weak_ptr<MIDIClockListener> weak = fresh;
    fresh.reset(); // still held by the real-time listener
    ASSERT_FALSE(weak.expired());
    srt->removeObserver(weak.lock());
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(srt->observers().size(), 1u);
}

TEST_F(MIDIClockListenerTest, ClocksWhileNotPlayingOnlyCountQuanta) {
    clocks(30);
    transport(0xFA);
    clocks(3);
    transport(0xFC); // paused
    beats->take();
    clocks(10);
    EXPECT_TRUE(beats->take().empty());
    EXPECT_EQ(beats->quantumCount, 43);
    EXPECT_EQ(beats->lastQuantum, (BeatRecorder::Quantum{43, 1, 0, 43}));
    EXPECT_EQ(clock->quantumCounter(), 43u);
}

TEST_F(MIDIClockListenerTest, StartThenAQuarterNote) {
    platform::ScopedLogCapture capture;
    transport(0xFA);
    clocks(24);
    EXPECT_EQ(beats->take(),
              (Calls{"willStart start", "firstBeat start", "quarter 1", "spp 0", "spp 1", "spp 2", "spp 3"}));
    EXPECT_EQ(beats->quantumCount, 24);
    EXPECT_EQ(beats->lastQuantum, (BeatRecorder::Quantum{24, 1, 3, 24}));
    clocks(1);
    EXPECT_EQ(beats->take(), (Calls{"quarter 2", "spp 4"}));
    EXPECT_EQ(contents(capture), (Calls{"Incoming MMC [Start]", "Beat: [Start]", " 1", "       1", "       2",
                                        "       3", "       4", "  2", "       5"}));
    for (const auto& entry : capture.entries())
        EXPECT_EQ(entry.category, "midi");
}

TEST_F(MIDIClockListenerTest, QuarterNotesCountToFourAndTheFirstQuantumCarriesTheQuarter) {
    auto withQuanta = std::make_shared<BeatRecorder>(true);
    clock->addObserver(withQuanta);
    transport(0xFA);
    clocks(24 * 5);
    Calls quarters;
    for (const auto& call : beats->take())
        if (call.rfind("quarter", 0) == 0) quarters.push_back(call);
    EXPECT_EQ(quarters, (Calls{"quarter 1", "quarter 2", "quarter 3", "quarter 4", "quarter 1"}));
    // Clock 25: the quarter-note work comes before its quantum, the song-position work after.
    const auto calls = withQuanta->calls();
    const auto at = std::find(calls.begin(), calls.end(), "quarter 2");
    ASSERT_NE(at, calls.end());
    EXPECT_EQ(*(at + 1), "quantum 25 2 3 25");
    EXPECT_EQ(*(at + 2), "spp 4");
}

TEST_F(MIDIClockListenerTest, ContinueCarriesOnWhereThePauseLeftOff) {
    transport(0xFA);
    clocks(30); // quarter 2, six clocks in
    transport(0xFC);
    clocks(5); // paused: not counted into the quarter
    beats->take();
    transport(0xFB);
    clocks(18);
    EXPECT_EQ(beats->take(), (Calls{"willStart continue", "spp 5", "spp 6", "spp 7"}));
    clocks(1);
    EXPECT_EQ(beats->take(), (Calls{"firstBeat continue", "quarter 3", "spp 8"}));

    clocks(24 * 2 - 1); // to the end of quarter 4
    transport(0xFC);
    transport(0xFB);
    beats->take();
    clocks(1);
    EXPECT_EQ(beats->take(), (Calls{"firstBeat continue", "quarter 1", "spp 16"})); // 4 becomes 1
}

TEST_F(MIDIClockListenerTest, StartDoesNotResetTheSongPositionPhase) {
    transport(0xFA);
    clocks(9); // beats 0 and 1, three clocks into the second
    transport(0xFC);
    transport(0xFA);
    beats->take();
    clocks(3);
    EXPECT_EQ(beats->take(), (Calls{"firstBeat start", "quarter 1"}));
    clocks(1); // the old cycle completes: the beat after the reset counter
    EXPECT_EQ(beats->take(), (Calls{"spp 1"}));
}

TEST_F(MIDIClockListenerTest, StartAndContinueBeforeTheQuarterGiveOneFirstBeat) {
    transport(0xFA);
    transport(0xFB);
    clocks(1);
    EXPECT_EQ(beats->take(),
              (Calls{"willStart start", "willStart continue", "firstBeat continue", "quarter 1", "spp 0"}));
    EXPECT_FALSE(clock->sendStart() || clock->sendContinue());
    transport(0xFC);
    EXPECT_EQ(beats->take(), (Calls{"didStop"}));
}

TEST_F(MIDIClockListenerTest, ObserversAreLoggedAndRemovedByIdentity) {
    platform::ScopedLogCapture capture;
    auto other = std::make_shared<BeatRecorder>();
    clock->addObserver(other);
    clock->addObserver(other);
    clock->removeObserver(other);
    clock->removeObserver(other);
    EXPECT_EQ(contents(capture), (Calls{"[MIDIClockListener:addObserver] (2 observers)",
                                        "[MIDIClockListener:addObserver] (3 observers)",
                                        "[MIDIClockListener:removeObserver] (1 observers)",
                                        "[MIDIClockListener:removeObserver] (1 observers)"}));
    clock->removeAllObservers();
    EXPECT_TRUE(clock->observers().empty());
}

TEST_F(MIDIClockListenerTest, LeaderAndFollowerModesRestartTheQuarter) {
    transport(0xFA);
    clocks(5);
    platform::ScopedLogCapture capture;
    clock->midiClockLeaderEnabled();
    EXPECT_EQ(clock->quarterNoteQuantumCounter(), 0);
    clocks(5);
    clock->midiClockFollowerMode();
    EXPECT_EQ(clock->quarterNoteQuantumCounter(), 0);
    EXPECT_EQ(contents(capture),
              (Calls{"MIDI Clock Leader Enabled", "  2", "       2", "MIDI Clock Follower"}));
}

TEST_F(MIDIClockListenerTest, FewerThanTwoClocksAQuarterMakeEveryClockAQuarter) {
    for (std::uint8_t per : {0, 1}) {
        auto counting = MIDIClockListener::make(srt, per, nullptr);
        auto recorder = std::make_shared<BeatRecorder>();
        counting->addObserver(recorder);
        transport(0xFA);
        for (int i = 0; i < 300; ++i)
            counting->midiClockBeat(0);
        int quarters = 0;
        for (const auto& call : recorder->calls())
            quarters += call.rfind("quarter", 0) == 0;
        EXPECT_EQ(quarters, 300);
        EXPECT_EQ(counting->fourCount(), 4);
    }
}
