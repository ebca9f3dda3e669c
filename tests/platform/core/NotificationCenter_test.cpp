#include "platform/core/BackgroundJobs.h"
#include "platform/core/BundleInfo.h"
#include "platform/core/HostClock.h"
#include "platform/core/NotificationCenter.h"
#include "platform/core/Sleeper.h"
#include "testing/Eventually.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace platform;

TEST(NotificationCenter, DeliversByNameInOrderWithUserInfo) {
    NotificationCenter center;
    std::vector<std::string> seen;
    int a = 0, b = 0;
    center.addObserver(&a, "SysexGet", [&](const Notification& n) {
        auto it = n.userInfo.find("k");
        seen.push_back("a:" +
                       (it == n.userInfo.end() ? std::string() : std::any_cast<std::string>(it->second)));
    });
    center.addObserver(&b, "SysexGet", [&](const Notification&) { seen.push_back("b"); });
    center.addObserver(&b, "CCGet", [&](const Notification&) { seen.push_back("b-cc"); });
    center.post("SysexGet", {{"k", std::string("v")}});
    EXPECT_EQ(seen, (std::vector<std::string>{"a:v", "b"}));
    center.removeObserver(&b, "SysexGet");
    center.post("SysexGet");
    center.post("CCGet");
    EXPECT_EQ(seen, (std::vector<std::string>{"a:v", "b", "a:", "b-cc"}));
    center.removeObserver(&a);
    center.removeObserver(&b);
    EXPECT_EQ(center.observerCount(), 0u);
}

TEST(NotificationCenter, ObserverMayRemoveItselfWhileBeingCalled) {
    NotificationCenter center;
    int me = 0;
    int calls = 0;
    center.addObserver(&me, "SetupUpdate", [&](const Notification&) {
        ++calls;
        center.removeObserver(&me);
    });
    center.post("SetupUpdate");
    center.post("SetupUpdate");
    EXPECT_EQ(calls, 1);
}

TEST(NotificationCenter, RemovalWaitsForADeliveryInFlight) {
    NotificationCenter center;
    int me = 0;
    std::atomic<bool> entered{false}, release{false}, finished{false};
    center.addObserver(&me, "SysexGet", [&](const Notification&) {
        entered = true;
        while (!release)
            std::this_thread::yield();
        finished = true;
    });
    std::thread poster([&] { center.post("SysexGet"); });
    if (!testwait::eventually([&] { return entered.load(); })) {
        release = true;
        poster.join();
        FAIL() << "never delivered";
    }
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        release = true;
    });
    center.removeObserver(&me);
    EXPECT_TRUE(finished.load());
    poster.join();
    releaser.join();
}

TEST(BackgroundJobs, JoinAllWaitsForEveryJob) {
    BackgroundJobs jobs;
    std::atomic<int> done{0};
    for (int i = 0; i < 8; ++i)
        jobs.run([&] { ++done; });
    jobs.joinAll();
    EXPECT_EQ(done.load(), 8);
    EXPECT_EQ(jobs.activeCount(), 0u);
}

TEST(BackgroundJobs, JoiningOneJobWaitsForItAloneAndItsNumberIsNeverGivenAgain) {
    BackgroundJobs jobs;
    std::atomic<bool> release{false}, ended{false};
    const std::uint64_t held = jobs.run([&] {
        while (!release.load())
            std::this_thread::yield();
    });
    const std::uint64_t quick = jobs.run([&] { ended = true; });
    EXPECT_NE(held, quick);
    jobs.join(quick);
    EXPECT_TRUE(ended.load());
    EXPECT_EQ(jobs.activeCount(), 1u); // the held one runs on
    jobs.join(quick);                  // joined already: at once
    jobs.join(quick + 1000);           // no such job: at once
    // A job that joins itself does not wait for itself; its starter joins it.
    std::atomic<std::uint64_t> self{0};
    std::atomic<bool> joinedItself{false};
    self = jobs.run([&] {
        while (self.load() == 0)
            std::this_thread::yield();
        jobs.join(self.load());
        joinedItself = true;
    });
    release = true;
    jobs.join(held);
    jobs.join(self.load());
    EXPECT_TRUE(joinedItself.load());
    EXPECT_EQ(jobs.activeCount(), 0u);
    EXPECT_GT(jobs.run([] {}), self.load());
    jobs.joinAll();
}

TEST(ManualSleeper, AdvancesTheClockInsteadOfWaiting) {
    ManualClock clock(0);
    ManualSleeper sleeper(clock);
    sleeper.sleepFor(std::chrono::milliseconds(10));
    sleeper.sleepFor(std::chrono::milliseconds(-5));
    EXPECT_EQ(clock.now(), 10'000'000u);
    EXPECT_EQ(sleeper.calls(), 2u);
}

TEST(BundleInfo, VersionComesFromTheProject) {
    BundleInfo info;
    EXPECT_FALSE(info.shortVersionString().empty());
    EXPECT_EQ(info.value("CFBundleShortVersionString"), info.shortVersionString());
    EXPECT_FALSE(info.value("NSMicrophoneUsageDescription"));
    info.setValue("NSMicrophoneUsageDescription", "needed");
    EXPECT_EQ(info.value("NSMicrophoneUsageDescription"), "needed");
    info.setValue("NSMicrophoneUsageDescription", std::nullopt);
    EXPECT_FALSE(info.value("NSMicrophoneUsageDescription"));
}
