#pragma once
// Recent raw tempi with their host times: mean and deviation over windows of growing size, and a
// straight line of tempo over time from which a predicted tempo is read.
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace sonabel {

struct BPMHistoryStatistics {
    struct Stats {
        double mean = 0;
        double std = 0;
        bool operator==(const Stats&) const = default;
    };
    // tempo = slope * time + ct
    struct Line {
        double slope = 0;
        double ct = 0;
        bool operator==(const Line&) const = default;
    };

    // The line is fitted once the window historyCounts[regressionCountIndex - 1] (48) is full.
    static constexpr int regressionCountIndex = 5;
    static constexpr std::array<int, 8> historyCounts{3, 6, 12, 24, 48, 96, 192, 384};

    // Oldest first, all three of the same length (at most 385).
    std::vector<double> bpmHistory;
    std::vector<std::uint64_t> actualTimeHistory;
    std::vector<double> timeHistory;
    // One entry per window of historyCounts that the history exceeds, in ascending order.
    std::vector<Stats> bpmStats;
    std::vector<Stats> timeStats;
    std::optional<Line> lineFn;

    void record(double bpm, std::uint64_t time);
    // The host time at `ratio` of the way from the start of the last 96 entries to the newest;
    // 0 without entries. Ratios that land outside the host-time range are clamped to it.
    std::uint64_t interpolatedTime(float ratio) const;

    bool operator==(const BPMHistoryStatistics&) const = default;
};

} // namespace sonabel
