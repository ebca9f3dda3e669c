#include "platform/core/HostClock.h"
#include "platform/core/MainQueue.h"
#include "platform/ui/qt/QtMainQueueDriver.h"
#include "testing/QtTestApplication.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using platform::MainQueue;
using platform::QtMainQueueDriver;
using qt_test::waitUntil;

namespace {

class QtMainQueueDriverTest : public ::testing::Test {
protected:
    MainQueue queue;
    QtMainQueueDriver driver{queue};
    std::thread::id guiThread = std::this_thread::get_id();
};

TEST_F(QtMainQueueDriverTest, QueuedWorkRunsInOrderOnALaterTurnOfTheGuiLoop) {
    std::vector<int> ran;
    queue.async([&] {
        ran.push_back(1);
        queue.async([&] { ran.push_back(3); }); // queued by work: runs too, after what was queued before
    });
    queue.async([&] { ran.push_back(2); });
    EXPECT_TRUE(ran.empty()); // never inside async()
    ASSERT_TRUE(waitUntil([&] { return ran.size() == 3; }));
    EXPECT_EQ(ran, (std::vector{1, 2, 3}));
    EXPECT_TRUE(queue.isMainThread());
}

TEST_F(QtMainQueueDriverTest, WorkQueuedFromAnotherThreadRunsOnTheGuiThread) {
    constexpr int count = 500;
    std::vector<int> ran;
    std::atomic<int> offGuiThread{0};
    std::thread worker([&] {
        for (int i = 0; i < count; ++i) {
            queue.async([&, i] {
                if (std::this_thread::get_id() != guiThread) ++offGuiThread;
                ran.push_back(i);
            });
        }
    });
    worker.join();
    ASSERT_TRUE(waitUntil([&] { return ran.size() == count; }));
    EXPECT_EQ(offGuiThread.load(), 0);
    for (int i = 0; i < count; ++i)
        ASSERT_EQ(ran[i], i);
}

TEST_F(QtMainQueueDriverTest, DelayedCallsRunInDueOrderAndNeverEarly) {
    auto& clock = queue.clock();
    std::vector<std::pair<int, std::uint64_t>> ran; // which call, and when it ran
    const auto start = clock.now();
    queue.asyncAfter(60ms, [&] { ran.push_back({60, clock.now()}); });
    queue.asyncAfter(20ms, [&] { ran.push_back({20, clock.now()}); });
    ASSERT_TRUE(waitUntil([&] { return ran.size() == 2; }));
    EXPECT_EQ(ran[0].first, 20);
    EXPECT_EQ(ran[1].first, 60);
    EXPECT_GE(ran[0].second - start, std::uint64_t{20'000'000});
    EXPECT_GE(ran[1].second - start, std::uint64_t{60'000'000});
}

TEST_F(QtMainQueueDriverTest, DelayedCallFromAnotherThreadArmsTheGuiTimer) {
    std::atomic<bool> ran{false};
    std::thread::id ranOn;
    std::thread worker([&] {
        queue.asyncAfter(15ms, [&] {
            ranOn = std::this_thread::get_id();
            ran = true;
        });
    });
    worker.join();
    ASSERT_TRUE(waitUntil([&] { return ran.load(); }));
    EXPECT_EQ(ranOn, guiThread);
}

TEST_F(QtMainQueueDriverTest, EarlierCallScheduledLaterStillRunsFirst) {
    std::vector<int> ran;
    // Held up by the first timer, the second call would wait an hour: far past the wait's deadline.
    const auto late = queue.asyncAfter(1h, [&] { ran.push_back(3600); });
    ASSERT_TRUE(waitUntil([] { return false; }, 20ms) == false); // the long timer is armed by now
    queue.asyncAfter(10ms, [&] { ran.push_back(10); });
    ASSERT_TRUE(waitUntil([&] { return !ran.empty(); }));
    EXPECT_EQ(ran, std::vector{10});
    queue.cancel(late);
}

TEST_F(QtMainQueueDriverTest, RepeatingTimerTicksUntilCancelled) {
    int ticks = 0;
    const auto id = queue.scheduleRepeating(10ms, [&] { ++ticks; });
    ASSERT_TRUE(waitUntil([&] { return ticks >= 3; }));
    queue.cancel(id);
    const int atCancel = ticks;
    waitUntil([] { return false; }, 60ms);
    EXPECT_EQ(ticks, atCancel);
    EXPECT_EQ(queue.pendingCount(), 0u);
}

TEST(QtMainQueueDriverLifetime, NothingRunsThroughADriverThatIsGone) {
    MainQueue queue;
    bool ran = false;
    {
        QtMainQueueDriver driver(queue);
        queue.async([&] { ran = true; });
        queue.asyncAfter(5ms, [&] { ran = true; });
    }
    waitUntil([] { return false; }, 50ms);
    EXPECT_FALSE(ran);
    EXPECT_EQ(queue.pendingCount(), 2u); // still queued for whoever drives the queue next

    QtMainQueueDriver next(queue); // installing a driver picks up work that waited
    ASSERT_TRUE(waitUntil([&] { return queue.pendingCount() == 0; }));
    EXPECT_TRUE(ran);
}

} // namespace
