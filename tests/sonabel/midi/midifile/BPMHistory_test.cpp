#include "sonabel/midi/midifile/BPMHistoryAveraging.h"
#include "sonabel/midi/midifile/BPMHistoryStatistics.h"
#include "sonabel/midi/midifile/ValueSmoothing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace sonabel;

TEST(BPMHistoryStatisticsTest, WindowsFillInAscendingOrder) {
    BPMHistoryStatistics stats;
    for (int i = 1; i <= 3; ++i)
        stats.record(120, static_cast<std::uint64_t>(i) * 1000);
    EXPECT_TRUE(stats.bpmStats.empty());
    stats.record(124, 4000);
    ASSERT_EQ(stats.bpmStats.size(), 1u);
    // The last three: 120, 120, 124.
    EXPECT_DOUBLE_EQ(stats.bpmStats[0].mean, 364.0 / 3);
    EXPECT_DOUBLE_EQ(stats.bpmStats[0].std, std::sqrt((2 * std::pow(4.0 / 3, 2) + std::pow(8.0 / 3, 2)) / 2));
    EXPECT_EQ(stats.timeStats[0], (BPMHistoryStatistics::Stats{3000, 1000}));
    EXPECT_FALSE(stats.lineFn);

    for (int i = 5; i <= 48; ++i)
        stats.record(120, static_cast<std::uint64_t>(i) * 1000);
    EXPECT_EQ(stats.bpmStats.size(), 4u);
    EXPECT_FALSE(stats.lineFn);
    stats.record(120, 49000);
    EXPECT_EQ(stats.bpmStats.size(), 5u);
    EXPECT_TRUE(stats.lineFn);
}

TEST(BPMHistoryStatisticsTest, HistoriesSettleOneAboveTheLargestWindow) {
    BPMHistoryStatistics stats;
    for (std::uint64_t i = 0; i < 400; ++i)
        stats.record(100.0 + static_cast<double>(i), 1000 + i * 10);
    EXPECT_EQ(stats.bpmHistory.size(), 385u);
    EXPECT_EQ(stats.timeHistory.size(), 385u);
    EXPECT_EQ(stats.actualTimeHistory.size(), 385u);
    EXPECT_EQ(stats.actualTimeHistory.front(), 1000u + 15 * 10);
    EXPECT_EQ(stats.bpmStats.size(), 8u);
    EXPECT_EQ(stats.timeStats.size(), 8u);
    // Tempo rises by 1 every 10 ticks of host time: slope 0.1, and the line passes through the
    // points.
    ASSERT_TRUE(stats.lineFn);
    EXPECT_NEAR(stats.lineFn->slope, 0.1, 1e-9);
    EXPECT_NEAR(stats.lineFn->slope * 4990 + stats.lineFn->ct, 499, 1e-6);
}

TEST(BPMHistoryStatisticsTest, LineKeepsItsValueWhenTimesStandStill) {
    BPMHistoryStatistics stats;
    for (int i = 0; i < 60; ++i)
        stats.record(120 + i % 2, 5000);
    EXPECT_FALSE(stats.lineFn);
}

TEST(BPMHistoryStatisticsTest, InterpolatedTime) {
    BPMHistoryStatistics stats;
    EXPECT_EQ(stats.interpolatedTime(0.5f), 0u);
    stats.record(120, 1000);
    EXPECT_EQ(stats.interpolatedTime(0.5f), 1000u);
    stats.record(120, 2000);
    EXPECT_EQ(stats.interpolatedTime(0.8f), 1800u);
    for (std::uint64_t i = 3; i <= 100; ++i)
        stats.record(120, i * 1000);
    // The last 96 entries start at 5000.
    EXPECT_EQ(stats.interpolatedTime(0.0f), 5000u);
    EXPECT_EQ(stats.interpolatedTime(1.0f), 100000u);
    EXPECT_EQ(stats.interpolatedTime(-1.0f), 0u);
    EXPECT_EQ(stats.interpolatedTime(std::numeric_limits<float>::quiet_NaN()), 0u);
    EXPECT_EQ(stats.interpolatedTime(std::numeric_limits<float>::infinity()),
              std::numeric_limits<std::uint64_t>::max());
}

TEST(BPMHistoryAveragingTest, KeepsCountLimitPlusOne) {
    BPMHistoryAveraging averaging{{}, 3, {0, 0}};
    averaging.add(100);
    EXPECT_EQ(averaging.results, (BPMHistoryAveraging::Results{100, 0}));
    averaging.add(100);
    EXPECT_EQ(averaging.results, (BPMHistoryAveraging::Results{100, 0}));
    averaging.add(110);
    averaging.add(120);
    averaging.add(130);
    EXPECT_EQ(averaging.bpmHistory, (std::vector<double>{100, 110, 120, 130}));
    EXPECT_DOUBLE_EQ(averaging.results.avg, 115);
    EXPECT_DOUBLE_EQ(averaging.results.std, std::sqrt(500.0 / 3));

    BPMHistoryAveraging negative{{1, 2, 3}, -2, {0, 0}};
    negative.add(7);
    EXPECT_EQ(negative.bpmHistory, std::vector<double>{7});
    EXPECT_EQ(negative.results, (BPMHistoryAveraging::Results{7, 0}));
}

TEST(BPMHistoryDefaultsTest, InitialValues) {
    const BPMHistoryStatistics stats;
    EXPECT_EQ(stats.regressionCountIndex, 5);
    EXPECT_EQ(stats.historyCounts, (std::array<int, 8>{3, 6, 12, 24, 48, 96, 192, 384}));
    EXPECT_TRUE(stats.bpmHistory.empty());
    EXPECT_TRUE(stats.actualTimeHistory.empty());
    EXPECT_TRUE(stats.timeHistory.empty());
    EXPECT_TRUE(stats.bpmStats.empty());
    EXPECT_TRUE(stats.timeStats.empty());
    EXPECT_FALSE(stats.lineFn);

    BPMHistoryAveraging averaging;
    averaging.countLimit = 4;
    EXPECT_EQ(averaging.results, (BPMHistoryAveraging::Results{0, 0}));
    const ValueSmoothing smoothing{.factor = 0.25, .priorDataFactor = 0.75};
    EXPECT_EQ(smoothing.smoothed, 0.0);
}
