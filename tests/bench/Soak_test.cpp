#include "bench/Soak.h"
#include "bench/SoakPrograms.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace soakbench;

namespace {

constexpr double kRate = 48000;
constexpr std::int64_t kBlock = 512;

// `bursts` bursts of the tone from frame `start`, as a recorder would have them.
std::vector<float> tones(std::int64_t start, int bursts, std::int64_t tail = std::int64_t(kRate)) {
    const auto length = std::int64_t(bursts * kBurstSeconds * kRate);
    std::vector<float> s(std::size_t(start + length + tail));
    for (std::int64_t t = 0; t < std::int64_t(s.size()); ++t)
        s[std::size_t(t)] = tone(t, start, length, kRate);
    return s;
}

// A stream that got its blocks on time from host second `at` on.
struct Steady : Stamps {
    Steady(std::size_t frames, double at) {
        this->at.resize(frames / kBlock + 1);
        for (std::int64_t f = 0; f < std::int64_t(frames); f += kBlock)
            add(f, std::uint64_t((at + double(f) / kRate) * 1e9));
    }
};

// When each of `bursts` bursts from frame `start` reached a stream stamped by steady(..., at).
std::vector<double> burstTimes(std::int64_t start, int bursts, double at) {
    std::vector<double> times;
    for (int b = 0; b < bursts; ++b)
        times.push_back(at + double(start + std::int64_t(b * kBurstSeconds * kRate)) / kRate);
    return times;
}

} // namespace

TEST(SoakMeasure, CountsEachBreakInTheToneOnce) {
    const std::int64_t start = 4800;
    // A quarter of the tone's cycle past `seconds` into a burst: where the sine is loudest.
    const auto inBurst = [](int burst, double seconds) {
        return std::size_t(start + std::int64_t((burst * kBurstSeconds + seconds + 0.00025) * kRate));
    };
    struct Case {
        std::string name;
        std::function<void(std::vector<float>&)> damage;
        int breaks;
    };
    const std::vector<Case> cases{
        {"clean", [](std::vector<float>&) {}, 0},
        {"one sample lost where the sine crosses zero",
         [&](std::vector<float>& s) { s.erase(s.begin() + std::ptrdiff_t(inBurst(1, 0.5) - 12)); }, 1},
        {"a block of silence",
         [&](std::vector<float>& s) {
             std::fill_n(s.begin() + std::ptrdiff_t(inBurst(1, 0.5)), kBlock, 0.0f);
         },
         1},
        {"a block repeated",
         [&](std::vector<float>& s) {
             const auto at = s.begin() + std::ptrdiff_t(inBurst(2, 1.0));
             std::copy_n(at - kBlock, 100, at);
         },
         1},
        {"two glitches 40 ms apart",
         [&](std::vector<float>& s) {
             s[inBurst(1, 0.5)] = 0;
             s[inBurst(1, 0.54)] = 0;
         },
         1},
        {"two glitches 60 ms apart",
         [&](std::vector<float>& s) {
             s[inBurst(1, 0.5)] = 0;
             s[inBurst(1, 0.56)] = 0;
         },
         2},
        {"silence for 40 ms",
         [&](std::vector<float>& s) {
             std::fill_n(s.begin() + std::ptrdiff_t(inBurst(1, 0.5)), std::int64_t(0.04 * kRate), 0.0f);
         },
         1},
        {"a gap that splits a burst",
         [&](std::vector<float>& s) {
             std::fill_n(s.begin() + std::ptrdiff_t(inBurst(1, 0.5)), std::int64_t(0.08 * kRate), 0.0f);
         },
         1},
        // The sweep is at 1,200 Hz 1 s into the first burst, 1,500 Hz 0.5 s into the second and 1,900
        // Hz 0.5 s into the third: 40, 32 and 25.26 frames a period.
        {"whole periods lost",
         [&](std::vector<float>& s) {
             const auto at = s.begin() + std::ptrdiff_t(inBurst(0, 1.0));
             s.erase(at, at + 960);
         },
         1},
        {"one period lost",
         [&](std::vector<float>& s) {
             const auto at = s.begin() + std::ptrdiff_t(inBurst(1, 0.5));
             s.erase(at, at + 32);
         },
         1},
        {"whole periods repeated",
         [&](std::vector<float>& s) {
             const auto at = std::ptrdiff_t(inBurst(2, 0.5));
             const std::vector<float> block(s.begin() + at - 960, s.begin() + at);
             s.insert(s.begin() + at, block.begin(), block.end());
         },
         1},
        {"the last burst lost whole",
         [&](std::vector<float>& s) {
             std::fill_n(s.begin() + std::ptrdiff_t(inBurst(3, -0.01)), std::int64_t(kBurstSeconds * kRate),
                         0.0f);
         },
         0},
        {"a burst lost whole",
         [&](std::vector<float>& s) {
             std::fill_n(s.begin() + std::ptrdiff_t(inBurst(2, -0.01)), std::int64_t(kBurstSeconds * kRate),
                         0.0f);
         },
         1},
        {"the edges of the tone cut short",
         [&](std::vector<float>& s) {
             std::fill_n(s.begin() + start, 100, 0.0f);
             std::fill(s.begin() + std::ptrdiff_t(inBurst(3, 1.5)), s.end(), 0.0f);
         },
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<float> s = tones(start, 4);
        c.damage(s);
        const Returned back = returned(s, Steady(s.size(), 10.0), burstTimes(start, 4, 10.0), kRate);
        EXPECT_EQ(back.breaks, c.breaks);
        EXPECT_EQ(back.bursts(), c.name.find("lost whole") != std::string::npos ? 3 : 4);
    }
}

TEST(SoakMeasure, RoundTripIsFromOneRecordingToTheOther) {
    const std::int64_t start = 4800;
    const std::int64_t burst = std::int64_t(kBurstSeconds * kRate);
    const double period = double(kBlock) / kRate;
    struct Case {
        std::string name;
        std::int64_t delay;          // the second recording lags the first
        std::int64_t shiftAt, shift; // from this frame of the tone the second lags `shift` more
        std::int64_t quietAt;        // 80 ms of the second's tone from here go quiet
        bool lateFirstBurst;         // the first burst would have come back after half the bands' turn
        double start, end, off;
        int breaks;
    };
    const double d = 1000 / kRate;
    const std::vector<Case> cases{
        {"steady", 1000, 0, 0, 0, false, d, d, 0, 0},
        {"half a period more in the gap before the last two bursts", 1000, start + 3 * burst - 2000,
         kBlock / 2, 0, false, d, d + double(kBlock / 2) / kRate, 0, 0},
        {"two periods more from the third burst", 1000, start + 2 * burst, 2 * kBlock, 0, false, d,
         d + double(2 * kBlock) / kRate, 3 * kBurstSeconds, 0},
        {"two periods more within the second burst", 1000, start + burst + burst / 2, 2 * kBlock, 0, false, d,
         d + double(2 * kBlock) / kRate, 3 * kBurstSeconds, 1},
        // Missing where it was due, and a stretch where none was.
        {"the first burst back too late", 1000, 0, 0, 0, true, d, d, 0, 2},
        // 300 ms behind, the end of the second burst comes back after the third was sent: a stretch
        // where none was, not the third's return.
        {"a late piece of a burst", std::int64_t(0.3 * kRate), 0, 0,
         start + burst + std::int64_t(1.7 * kRate), false, 0.3, 0.3, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<float> first = tones(start, 5);
        std::vector<float> second(std::size_t(c.delay), 0.0f);
        second.insert(second.end(), first.begin(), first.end());
        if (c.quietAt)
            std::fill_n(second.begin() + std::ptrdiff_t(c.quietAt + c.delay), std::int64_t(0.08 * kRate),
                        0.0f);
        second.insert(second.begin() + std::ptrdiff_t(c.shiftAt + c.delay), std::size_t(c.shift), 0.0f);
        const Steady firstStamps(first.size(), 5.0), secondStamps(second.size(), 5.0);
        std::vector<double> sent = returned(first, firstStamps, burstTimes(start, 5, 5.0), kRate).at;
        for (std::size_t b = 0; b < sent.size(); ++b) // the sine's first sample is quiet
            ASSERT_NEAR(sent[b], burstTimes(start, 5, 5.0)[b], 2 / kRate);
        if (c.lateFirstBurst) sent[0] -= kMarks * kBurstSeconds;
        const Returned after = returned(second, secondStamps, sent, kRate);
        const RoundTrip trip = roundTrip(sent, after.at, period);
        ASSERT_TRUE(trip.measured);
        EXPECT_EQ(after.breaks, c.breaks);
        EXPECT_NEAR(trip.start, c.start, 1e-6);
        EXPECT_NEAR(trip.end, c.end, 1e-6);
        EXPECT_NEAR(trip.longestOff, c.off, 1e-9);
        EXPECT_NEAR(trip.max, std::max(c.start, c.end), 1e-6);
    }
    EXPECT_FALSE(roundTrip({1.0, std::nan("")}, {std::nan(""), 2.0}, period).measured);
}

TEST(PassthroughRing, StartsOnTwoBlocksPlaysInOrderAndWaitsAgainAfterAShortfall) {
    // Each step: frames pushed (values counting on from the last pushed), then frames pulled.
    struct Step {
        std::size_t push, pull;
        std::vector<float> played; // the left channel
    };
    struct Case {
        std::string name;
        std::size_t capacity;
        std::vector<Step> steps;
        std::uint64_t shortfalls, shortFrames, dropped;
    };
    const std::vector<Case> cases{
        {"waits for two blocks", 16, {{2, 2, {0, 0}}, {2, 2, {1, 2}}, {2, 2, {3, 4}}}, 0, 0, 0},
        {"a short block, then two blocks again",
         16,
         {{4, 2, {1, 2}}, {0, 2, {3, 4}}, {1, 2, {5, 0}}, {1, 2, {0, 0}}, {2, 2, {0, 0}}, {1, 2, {6, 7}}},
         1,
         1,
         0},
        {"input beyond the room dropped",
         4,
         {{6, 2, {1, 2}}, {3, 2, {3, 4}}, {0, 2, {7, 8}}, {0, 2, {0, 0}}},
         1,
         2,
         3},
        {"latency kept, never given back", 16, {{4, 1, {1}}, {4, 1, {2}}, {0, 1, {3}}}, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PassthroughRing ring(c.capacity, 2);
        float next = 1;
        for (const Step& step : c.steps) {
            std::vector<float> in;
            for (std::size_t i = 0; i < step.push; ++i, ++next)
                in.insert(in.end(), {next, -next});
            ring.push(in.data(), step.push, 2);
            std::vector<float> out(step.pull * 2, 99.0f), left, right;
            ring.pull(out.data(), step.pull);
            for (std::size_t i = 0; i < step.pull; ++i) {
                left.push_back(out[2 * i]);
                right.push_back(-out[2 * i + 1] + 0.0f);
            }
            EXPECT_EQ(left, step.played);
            EXPECT_EQ(right, step.played);
        }
        EXPECT_EQ(ring.shortfalls(), c.shortfalls);
        EXPECT_EQ(ring.shortFrames(), c.shortFrames);
        EXPECT_EQ(ring.droppedFrames(), c.dropped);
    }
}

TEST(PassthroughRing, MapsTheInputsChannelsToItsOwn) {
    struct Case {
        unsigned inChannels;
        std::vector<float> in, out;
    };
    const std::vector<Case> cases{
        {1, {1, 2, 3, 4}, {1, 1, 2, 2, 3, 3, 4, 4}},
        {2, {1, 10, 2, 20, 3, 30, 4, 40}, {1, 10, 2, 20, 3, 30, 4, 40}},
        {3, {1, 10, 100, 2, 20, 200, 3, 30, 300, 4, 40, 400}, {1, 10, 2, 20, 3, 30, 4, 40}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.inChannels);
        PassthroughRing ring(8, 2);
        ring.push(c.in.data(), 4, c.inChannels);
        std::vector<float> out(8);
        ring.pull(out.data(), 2);
        ring.pull(out.data() + 4, 2);
        EXPECT_EQ(out, c.out);
    }
}

TEST(SoakWatchdog, EndsTheProcessOnlyWhenWhatItWatchesOutlastsItsLimit) {
    bool called = false;
    {
        const Watchdog watchdog(std::chrono::milliseconds(60000), "nothing", [&] { called = true; });
    }
    EXPECT_FALSE(called);
    EXPECT_EXIT(
        {
            const Watchdog watchdog(std::chrono::milliseconds(20), "stopping the streams",
                                    [] { std::fputs("server stopped\n", stderr); });
            std::this_thread::sleep_for(std::chrono::milliseconds(60000));
        },
        testing::ExitedWithCode(2),
        "soak: stopping the streams took more than 20 ms; giving up\nserver stopped");
}
