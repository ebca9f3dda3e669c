#include "ListenerTestSupport.h"

#include "sonabel/midi/listeners/MIDITimeout.h"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>

using namespace listenertest;
using namespace std::chrono_literals;
using sonabel::MIDITimeout;

namespace {

class MIDITimeoutTest : public ::testing::Test {
protected:
    ManualMainQueue main;
    int successes = 0;
    int timeouts = 0;
    std::shared_ptr<MIDITimeout> make(bool mainThread, double interval = 1.6) {
        return MIDITimeout::make(
            interval, mainThread, [this] { ++successes; }, [this] { ++timeouts; }, main.queue);
    }
};

} // namespace

TEST_F(MIDITimeoutTest, FiresAfterTheIntervalUnlessASuccessCancels) {
    auto timeout = make(true);
    EXPECT_EQ(timeout->timeoutInterval(), 1.6);
    EXPECT_TRUE(timeout->mainThread());
    EXPECT_FALSE(timeout->disableSuccess());
    EXPECT_FALSE(timeout->disableFailure());

    bool ran = false;
    timeout->sendWithTimeout([&] { ran = true; });
    EXPECT_TRUE(ran); // at once, before anything is armed
    main.driver.advance(1599ms);
    EXPECT_EQ(timeouts, 0);
    main.driver.advance(1ms);
    EXPECT_EQ(timeouts, 1);

    timeout->sendWithTimeout({});
    main.driver.advance(1000ms);
    timeout->mainthreadSuccessCall();
    timeout->sendWithTimeout({}); // success then send: exactly one pending
    main.driver.advance(1599ms);
    EXPECT_EQ(successes, 1);
    EXPECT_EQ(timeouts, 1);
    main.driver.advance(1ms);
    EXPECT_EQ(timeouts, 2);
    main.driver.advance(10000ms);
    EXPECT_EQ(timeouts, 2);
}

TEST_F(MIDITimeoutTest, EachSendArmsOneMoreAndASuccessCancelsAll) {
    auto timeout = make(true);
    timeout->sendWithTimeout({});
    timeout->sendWithTimeout({});
    main.driver.advance(2000ms);
    EXPECT_EQ(timeouts, 2);

    timeout->sendWithTimeout({});
    timeout->sendWithTimeout({});
    main.driver.advance(100ms);
    timeout->successCall();
    main.driver.advance(5000ms);
    EXPECT_EQ(timeouts, 2);
    EXPECT_EQ(successes, 1);

    timeout->mainthreadSuccessCall(); // nothing armed: still a success
    main.driver.runUntilIdle();
    EXPECT_EQ(successes, 2);
}

TEST_F(MIDITimeoutTest, DisabledActionsAreSkippedButTheCancelStays) {
    auto timeout = make(true);
    timeout->setDisableSuccess(true);
    timeout->sendWithTimeout({});
    timeout->mainthreadSuccessCall();
    main.driver.advance(5000ms);
    EXPECT_EQ(successes, 0);
    EXPECT_EQ(timeouts, 0);

    timeout->setDisableFailure(true);
    timeout->sendWithTimeout({});
    main.driver.advance(5000ms);
    EXPECT_EQ(timeouts, 0);
    timeout->setDisableFailure(false);
    timeout->setOnTimeout({}); // unset: skipped silently
    timeout->sendWithTimeout({});
    main.driver.advance(5000ms);
    EXPECT_EQ(timeouts, 0);
}

TEST_F(MIDITimeoutTest, WithoutTheMainThreadActionsRunOnTheCallingThread) {
    auto timeout = make(false);
    timeout->mainthreadSuccessCall();
    EXPECT_EQ(successes, 1); // no queue run needed
    timeout->messageTimeout();
    EXPECT_EQ(timeouts, 1);

    timeout->sendWithTimeout({});
    main.driver.advance(1600ms); // armed through the main queue, fires there
    EXPECT_EQ(timeouts, 2);

    timeout->sendWithTimeout({});
    main.driver.runUntilIdle(); // armed
    std::thread([&] { timeout->mainthreadSuccessCall(); }).join();
    main.driver.advance(5000ms);
    EXPECT_EQ(timeouts, 2);
    EXPECT_EQ(successes, 2);
}

TEST_F(MIDITimeoutTest, ActionsAreAbsentUnlessGiven) {
    auto bare = MIDITimeout::make(1.0, true, nullptr, nullptr, main.queue);
    EXPECT_FALSE(bare->onSuccess());
    EXPECT_FALSE(bare->onTimeout());
    bare->sendWithTimeout({});
    bare->mainthreadSuccessCall();
    bare->sendWithTimeout({});
    main.driver.advance(2000ms); // nothing to run, nothing fails
    bare->setOnSuccess([this] { ++successes; });
    EXPECT_TRUE(bare->onSuccess());
    bare->mainthreadSuccessCall();
    main.driver.runUntilIdle();
    EXPECT_EQ(successes, 1);
}

TEST_F(MIDITimeoutTest, MessageTimeoutCalledDirectlyGoesThroughTheMainQueue) {
    auto timeout = make(true);
    timeout->messageTimeout();
    EXPECT_EQ(timeouts, 0);
    main.driver.runUntilIdle();
    EXPECT_EQ(timeouts, 1);
}

TEST_F(MIDITimeoutTest, DestructionCancelsEverythingPending) {
    auto timeout = make(true);
    timeout->sendWithTimeout({});
    main.driver.runUntilIdle();   // armed
    timeout->sendWithTimeout({}); // arming still queued
    timeout->messageTimeout();    // action still queued
    timeout.reset();
    EXPECT_EQ(main.queue.pendingCount(), 0u);
    main.driver.advance(5000ms);
    EXPECT_EQ(timeouts, 0);
}

TEST_F(MIDITimeoutTest, IntervalsThatAreNotPositiveTimeOutAtOnce) {
    for (double interval : {0.0, -3.0, std::nan("")}) {
        auto timeout = make(true, interval);
        timeout->sendWithTimeout({});
        main.driver.runUntilIdle();
        main.driver.advance(0ms);
    }
    EXPECT_EQ(timeouts, 3);
    auto huge = make(true, 1e300); // far away, but defined
    huge->sendWithTimeout({});
    main.driver.advance(1000000ms);
    EXPECT_EQ(timeouts, 3);
}
