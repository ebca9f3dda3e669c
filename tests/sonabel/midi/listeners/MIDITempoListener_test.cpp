#include "ListenerTestSupport.h"

#include "sonabel/midi/listeners/MIDITempoListener.h"

#include <gtest/gtest.h>

using namespace listenertest;
using namespace std::chrono_literals;
using sonabel::MIDITempoListener;
using Calls = std::vector<std::string>;

namespace {

class MIDITempoListenerTest : public ::testing::Test {
protected:
    void SetUp() override {
        listener = MIDITempoListener::make(10, 0.9, main.queue);
        listener->addObserver(tempo);
        listener->clockListener()->addObserver(beats);
    }
    void clock(std::optional<MIDITimeStamp> time) { listener->receivedMIDISystemCommand({0xF8}, 9, time); }
    void transport(sonabel::MIDIByte status) { listener->receivedMIDISystemCommand({status}, 9, 5); }

    ManualMainQueue main;
    std::shared_ptr<MIDITempoListener> listener;
    std::shared_ptr<TempoRecorder> tempo = std::make_shared<TempoRecorder>();
    std::shared_ptr<BeatRecorder> beats = std::make_shared<BeatRecorder>();
};

constexpr std::uint64_t kQuarter120 = 20'833'333; // ns between clocks at 120 BPM

} // namespace

TEST_F(MIDITempoListenerTest, Defaults) {
    platform::ScopedLogCapture capture;
    auto fresh = MIDITempoListener::make(7, 0.25, main.queue);
    // The clock listener hears that the system may lead the clock.
    EXPECT_EQ(contents(capture), (Calls{"MIDI Clock Leader Enabled"}));
    ASSERT_TRUE(fresh->clockListener());
    EXPECT_EQ(fresh->tempoObservers().size(), 1u);
    EXPECT_EQ(fresh->tempoObservers()[0].get(),
              static_cast<sonabel::MIDITempoObserver*>(fresh->clockListener().get()));
    EXPECT_EQ(fresh->srtListener()->observers().size(), 1u);
    EXPECT_EQ(fresh->clockListener()->quantumsPerQuarterNote(), 24);
    EXPECT_EQ(fresh->clockListener()->tempoListener(), fresh);
    EXPECT_EQ(fresh->tempoString(), "");
    EXPECT_EQ(fresh->tempo(), 0.0);
    EXPECT_TRUE(fresh->clockEvents().empty());
    EXPECT_EQ(MIDITempoListener::clockEventLimit, 2);
    EXPECT_EQ(MIDITempoListener::BEAT_TICKS, 24);
    EXPECT_EQ(MIDITempoListener::oneThousand, 1000u);
    EXPECT_EQ(fresh->bpmStats(), sonabel::BPMHistoryStatistics());
    EXPECT_EQ(fresh->bpmAveraging(), (sonabel::BPMHistoryAveraging{{}, 7, {0, 0}}));
    EXPECT_EQ(fresh->timebaseInfo().numer, 1u);
    EXPECT_EQ(fresh->timebaseInfo().denom, 1u);
    EXPECT_EQ(fresh->tickSmoothing(), (sonabel::ValueSmoothing{0, 0.25, 0.75}));
    EXPECT_EQ(fresh->bpmSmoothing(), (sonabel::ValueSmoothing{0, 0.25, 0.75}));
    ASSERT_TRUE(fresh->clockTimeout());
    EXPECT_EQ(fresh->clockTimeout()->timeoutInterval(), 1.6);
    EXPECT_TRUE(fresh->clockTimeout()->mainThread());
    EXPECT_FALSE(fresh->isIncomingClockActive());
}

TEST_F(MIDITempoListenerTest, TempoFromTheTwoNewestClockTimes) {
    clock(0);
    clock(25'000'000); // the older time is 0: no estimate
    EXPECT_EQ(listener->tempoString(), "");
    EXPECT_EQ(listener->clockEvents(), (std::vector<std::uint64_t>{0, 25'000'000}));

    auto other = MIDITempoListener::make(10, 0.9, main.queue);
    auto heard = std::make_shared<TempoRecorder>();
    other->addObserver(heard);
    other->receivedMIDISystemCommand({0xF8}, std::nullopt, 1'000);
    other->receivedMIDISystemCommand({0xF8}, std::nullopt, 25'001'000);
    EXPECT_DOUBLE_EQ(other->tempo(), 100.055);
    EXPECT_EQ(other->tempoString(), "100.06");
    EXPECT_EQ(other->clockEvents(), (std::vector<std::uint64_t>{25'001'000}));
    EXPECT_EQ(heard->calls(), (Calls{"clockStarted", "tempo 100.06"}));
}

TEST_F(MIDITempoListenerTest, ASteadyClockPublishesOnce) {
    for (int i = 1; i <= 60; ++i)
        clock(i * kQuarter120);
    EXPECT_EQ(tempo->calls(), (Calls{"clockStarted", "tempo 120.06"}));
    EXPECT_NEAR(listener->tempo(), 120.055, 1e-5);
    EXPECT_EQ(beats->quantumCount, 60); // not playing: counted only
}

TEST_F(MIDITempoListenerTest, TheLineEstimateTakesOverFromTheFortyNinthEstimate) {
    std::uint64_t t = kQuarter120;
    clock(t);
    for (int i = 1; i <= 48; ++i)
        clock(t += kQuarter120);
    EXPECT_FALSE(listener->bpmStats().lineFn);
    clock(t += kQuarter120);
    ASSERT_TRUE(listener->bpmStats().lineFn);
    EXPECT_NEAR(listener->tempo(), 120.055, 1e-5); // a flat line predicts the same tempo
}

TEST_F(MIDITempoListenerTest, IncomingClockStartsAndGoesSilent) {
    clock(std::nullopt);
    EXPECT_TRUE(listener->isIncomingClockActive());
    main.driver.advance(1599ms);
    clock(std::nullopt); // re-armed: the 1.6 s start again
    main.driver.advance(1599ms);
    EXPECT_EQ(tempo->take(), (Calls{"clockStarted"}));
    main.driver.advance(1ms);
    EXPECT_EQ(tempo->take(), (Calls{"leader"}));
    EXPECT_FALSE(listener->isIncomingClockActive());
    main.driver.advance(5000ms);
    EXPECT_TRUE(tempo->take().empty());
    clock(std::nullopt);
    EXPECT_EQ(tempo->take(), (Calls{"clockStarted"}));
}

TEST_F(MIDITempoListenerTest, TransportTrimsTheClockTimes) {
    clock(std::nullopt); // recorded as 0
    transport(0xFC);     // one time: kept
    EXPECT_EQ(listener->clockEvents(), (std::vector<std::uint64_t>{0}));
    clock(5'000);
    transport(0xFC); // two: emptied
    EXPECT_TRUE(listener->clockEvents().empty());

    clock(0);
    clock(5'000);
    beats->take();
    transport(0xFA); // keeps the newest: the next clock is timed against it
    EXPECT_EQ(listener->clockEvents(), (std::vector<std::uint64_t>{5'000}));
    clock(25'005'000);
    EXPECT_EQ(listener->tempoString(), "100.06");
    EXPECT_EQ(beats->take(), (Calls{"willStart start", "firstBeat start", "quarter 1", "spp 0"}));

    listener->receivedMIDISystemCommand({0xF8}, 9, 30'000'000);
    listener->receivedMIDISystemCommand({0xF8}, 9, 40'000'000);
    listener->receivedMIDISystemCommand({0xF8}, 9, 0);
    EXPECT_EQ(listener->clockEvents(), (std::vector<std::uint64_t>{40'000'000, 0}));
}

TEST_F(MIDITempoListenerTest, ClockEventsKeepTheTwoNewest) {
    for (int i = 0; i < 10'000; ++i)
        clock(std::nullopt);
    EXPECT_EQ(listener->clockEvents(), (std::vector<std::uint64_t>{0, 0}));
    for (std::uint64_t t : {7, 7, 7})
        clock(t);
    EXPECT_EQ(listener->clockEvents(), (std::vector<std::uint64_t>{7, 7}));
    clock(0);
    EXPECT_EQ(listener->clockEvents(), (std::vector<std::uint64_t>{7, 0}));
    listener->keepNewerHalfOfClockEvents(); // from index 1
    EXPECT_EQ(listener->clockEvents(), (std::vector<std::uint64_t>{0}));
    listener->keepNewerHalfOfClockEvents();
    listener->clearClockEvents();
    listener->keepNewestClockEvent();
    EXPECT_EQ(listener->clockEvents().size(), 1u); // fewer than 2: untouched
}

TEST_F(MIDITempoListenerTest, WithoutTimeOutNothingIsProcessedWithoutClockListenerNoBeats) {
    listener->setClockTimeout(nullptr);
    transport(0xFA);
    clock(1'000);
    clock(25'001'000);
    EXPECT_TRUE(listener->clockEvents().empty());
    EXPECT_TRUE(tempo->take().empty());
    EXPECT_EQ(beats->take(), (Calls{"willStart start"})); // the transport still goes through
    EXPECT_EQ(listener->srtListener()->state(), sonabel::MIDISystemRealTimeListener::SRTState::playing);

    auto other = MIDITempoListener::make(10, 0.9, main.queue);
    auto otherBeats = std::make_shared<BeatRecorder>();
    other->clockListener()->addObserver(otherBeats);
    other->setClockListener(nullptr);
    other->receivedMIDISystemCommand({0xF8}, std::nullopt, 1'000);
    other->receivedMIDISystemCommand({0xF8}, std::nullopt, 25'001'000);
    EXPECT_EQ(other->tempoString(), "100.06");
    EXPECT_EQ(otherBeats->quantumCount, 0);
}

TEST_F(MIDITempoListenerTest, HostTimesAreConvertedWithTheTimebase) {
    listener->setTimebaseInfo({125, 3});
    clock(600'000);
    clock(1'200'000); // 600,000 ticks of 125/3 ns: 25 ms
    EXPECT_EQ(listener->tempoString(), "100.06");

    auto zero = MIDITempoListener::make(10, 0.9, main.queue);
    zero->setTimebaseInfo({0, 1}); // no interval: no infinite tempo
    zero->receivedMIDISystemCommand({0xF8}, std::nullopt, 1'000);
    zero->receivedMIDISystemCommand({0xF8}, std::nullopt, 2'000);
    EXPECT_EQ(zero->tempoString(), "");
    EXPECT_TRUE(zero->bpmStats().bpmHistory.empty());

    auto unset = MIDITempoListener::make(10, 0.9, main.queue);
    unset->setTimebaseInfo({0, 0}); // filled again before use
    unset->receivedMIDISystemCommand({0xF8}, std::nullopt, 1'000);
    unset->receivedMIDISystemCommand({0xF8}, std::nullopt, 25'001'000);
    EXPECT_EQ(unset->tempoString(), "100.06");
    EXPECT_EQ(unset->timebaseInfo().denom, 1u);
}

TEST_F(MIDITempoListenerTest, GoingAwayCancelsTheTimeOutAndReleasesTheClockListener) {
    clock(1'000);
    main.driver.runUntilIdle(); // armed
    std::weak_ptr<sonabel::MIDIClockListener> clockListener = listener->clockListener();
    auto srt = listener->srtListener();
    listener.reset();
    EXPECT_TRUE(clockListener.expired());
    EXPECT_TRUE(srt->observers().empty());
    main.driver.advance(5000ms);
    EXPECT_EQ(tempo->take(), (Calls{"clockStarted"}));
}
