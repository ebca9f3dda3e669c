#include "platform/core/LogSink.h"
#include "sonabel/internals/settings/Settings.h"
#include "sonabel/internals/utilities/PointerString.h"
#include "sonabel/internals/utilities/ThreadLockedAccessor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <thread>
#include <vector>

using namespace sonabel;

TEST(PointerString, EighteenCharactersLowerCaseHex) {
    EXPECT_EQ(pointerString(reinterpret_cast<const void*>(0xABCDEFull)), "0x0000000000abcdef");
    EXPECT_EQ(pointerString(nullptr), "0x0000000000000000");
    int x = 0;
    const auto text = pointerString(&x);
    EXPECT_TRUE(std::regex_match(text, std::regex("0x[0-9a-f]{16}"))) << text;
}

TEST(ThreadLockedAccessor, CopiesShareOneValue) {
    ThreadLockedAccessor<std::vector<int>> a({1});
    auto b = a;
    b.setWrappedValue({2, 3});
    EXPECT_EQ(a.wrappedValue(), (std::vector<int>{2, 3}));
    a.modify([](auto& v) { v.push_back(4); });
    EXPECT_EQ(b.wrappedValue(), (std::vector<int>{2, 3, 4}));
}

TEST(ThreadLockedAccessor, InPlaceChangesAreNeverSeenHalfDone) {
    // Two fields that a modification keeps equal; a reader must never see them differ.
    struct Pair {
        long a = 0, b = 0;
    };
    ThreadLockedAccessor<Pair> shared;
    std::atomic<bool> stop{false};
    std::atomic<long> torn{0};
    std::thread reader([&] {
        while (!stop) {
            auto p = shared.wrappedValue();
            if (p.a != p.b) ++torn;
        }
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < 3; ++w) {
        writers.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                shared.modify([](Pair& p) {
                    ++p.a;
                    std::this_thread::yield();
                    ++p.b;
                });
            }
        });
    }
    for (auto& t : writers)
        t.join();
    stop = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(shared.wrappedValue().a, 6000);
}

TEST(ThreadLockedAccessor, ModificationReleasesTheLockWhenItThrows) {
    ThreadLockedAccessor<int> value(1);
    EXPECT_THROW(value.modify([](int& v) {
        v = 2;
        throw std::runtime_error("abandoned");
    }),
                 std::runtime_error);
    value.setWrappedValue(3); // would deadlock if the write lock were still held
    EXPECT_EQ(value.wrappedValue(), 3);
}

namespace {
int failingInit(pthread_rwlock_t*, const pthread_rwlockattr_t*) {
    return 11;
}
} // namespace

TEST(RWThreadLockDeathTest, AFailedLockLogsThenStops) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto makeFailingLock = [] {
        Settings::setLoggingEnabled(false); // the line is written even so
        platform::LogSink::setCurrent(std::make_shared<platform::StderrLogSink>());
        RWThreadLock::setInitFunctionForTesting(&failingInit);
        RWThreadLock lock;
    };
    EXPECT_DEATH(makeFailingLock(), "RWThreadLock.cpp:init\\(\\):[0-9]+:Unable to initialize the lock");
}
