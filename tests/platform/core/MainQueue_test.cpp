#include "platform/core/MainQueue.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace platform;
using namespace std::chrono_literals;

namespace {
struct QueueFixture : ::testing::Test {
    ManualClock clock{5'000'000'000};
    MainQueue queue{clock};
    TestMainQueueDriver driver{queue, clock};
    std::vector<std::string> ran;
};
} // namespace

TEST(ManualClock, MovesOnlyWhenTold) {
    ManualClock clock(100);
    EXPECT_EQ(clock.now(), 100u);
    clock.advance(50);
    EXPECT_EQ(clock.now(), 150u);
    clock.set(7);
    EXPECT_EQ(clock.now(), 7u);
    EXPECT_EQ(HostClock::ticksPerSecond, 1'000'000'000u);
}

TEST(HostClock, SystemClockIsMonotonicNanoseconds) {
    auto& clock = HostClock::system();
    const auto a = clock.now();
    const auto b = clock.now();
    EXPECT_LE(a, b);
    EXPECT_GT(a, 0u);
}

TEST_F(QueueFixture, AsyncRunsInOrderOnlyWhenDriven) {
    queue.async([&] { ran.push_back("a"); });
    queue.async([&] {
        ran.push_back("b");
        queue.async([&] { ran.push_back("c"); });
    });
    EXPECT_TRUE(ran.empty());
    EXPECT_EQ(driver.runUntilIdle(), 3u);
    EXPECT_EQ(ran, (std::vector<std::string>{"a", "b", "c"}));
}

TEST_F(QueueFixture, DelayedCallsRunAtTheirTimeInOrder) {
    queue.asyncAfter(30ms, [&] { ran.push_back("30"); });
    queue.asyncAfter(10ms, [&] { ran.push_back("10"); });
    queue.asyncAfter(10ms, [&] { ran.push_back("10b"); });
    driver.advance(9ms);
    EXPECT_TRUE(ran.empty());
    driver.advance(1ms);
    EXPECT_EQ(ran, (std::vector<std::string>{"10", "10b"}));
    driver.advance(100ms);
    EXPECT_EQ(ran, (std::vector<std::string>{"10", "10b", "30"}));
    EXPECT_EQ(queue.pendingCount(), 0u);
}

TEST_F(QueueFixture, CancelByIdAndByOwner) {
    int owner1 = 0, owner2 = 0;
    auto id = queue.asyncAfter(10ms, [&] { ran.push_back("cancelled by id"); });
    queue.asyncAfter(
        10ms, [&] { ran.push_back("owner1 delayed"); }, &owner1);
    queue.async([&] { ran.push_back("owner1 now"); }, &owner1);
    queue.asyncAfter(
        10ms, [&] { ran.push_back("owner2"); }, &owner2);
    queue.cancel(id);
    queue.cancelAll(&owner1);
    driver.advance(20ms);
    EXPECT_EQ(ran, (std::vector<std::string>{"owner2"}));
}

TEST_F(QueueFixture, RepeatingTimerFiresEveryIntervalUntilCancelled) {
    int owner = 0;
    int fired = 0;
    queue.scheduleRepeating(
        100ms, [&] { ++fired; }, &owner);
    driver.advance(99ms);
    EXPECT_EQ(fired, 0);
    driver.advance(1ms);
    EXPECT_EQ(fired, 1);
    driver.advance(1000ms);
    EXPECT_EQ(fired, 11);
    queue.cancelAll(&owner);
    driver.advance(1000ms);
    EXPECT_EQ(fired, 11);
}

TEST_F(QueueFixture, RepeatingTimerCanCancelItself) {
    int fired = 0;
    MainQueue::CallID id = 0;
    id = queue.scheduleRepeating(10ms, [&] {
        if (++fired == 3) queue.cancel(id);
    });
    driver.advance(1000ms);
    EXPECT_EQ(fired, 3);
}

TEST_F(QueueFixture, WorkQueuedFromOtherThreadsArrives) {
    std::vector<std::thread> threads;
    std::atomic<int> count{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 100; ++i)
                queue.async([&] { ++count; });
        });
    for (auto& t : threads)
        t.join();
    driver.runUntilIdle();
    EXPECT_EQ(count.load(), 400);
    EXPECT_TRUE(queue.isMainThread());
    bool onMain = true;
    std::thread([&] { onMain = queue.isMainThread(); }).join();
    EXPECT_FALSE(onMain);
}
