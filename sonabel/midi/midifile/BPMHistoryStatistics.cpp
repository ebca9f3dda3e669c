#include "sonabel/midi/midifile/BPMHistoryStatistics.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace sonabel {

namespace {
std::vector<BPMHistoryStatistics::Stats> windowStatistics(const std::vector<double>& history) {
    std::vector<BPMHistoryStatistics::Stats> stats;
    for (const int n : BPMHistoryStatistics::historyCounts) {
        const std::size_t count = static_cast<std::size_t>(n);
        if (history.size() <= count) continue;
        const auto window = history.end() - static_cast<std::ptrdiff_t>(count);
        double sum = 0;
        for (auto it = window; it != history.end(); ++it)
            sum += *it;
        const double mean = sum / n;
        double squares = 0;
        for (auto it = window; it != history.end(); ++it)
            squares += (*it - mean) * (*it - mean);
        stats.push_back({mean, std::sqrt(squares / (n - 1))});
    }
    return stats;
}

template <class T> void dropOldestBeyond(std::vector<T>& history, std::size_t limit) {
    if (history.size() > limit) history.erase(history.begin());
}
} // namespace

void BPMHistoryStatistics::record(double bpm, std::uint64_t time) {
    // One entry is dropped per call only once there are more than the largest window, so the
    // histories settle at one more than it.
    const auto limit = static_cast<std::size_t>(historyCounts.back());
    dropOldestBeyond(bpmHistory, limit);
    dropOldestBeyond(timeHistory, limit);
    dropOldestBeyond(actualTimeHistory, limit);

    bpmHistory.push_back(bpm);
    timeHistory.push_back(static_cast<double>(time));
    actualTimeHistory.push_back(time);

    bpmStats = windowStatistics(bpmHistory);
    timeStats = windowStatistics(timeHistory);

    if (timeStats.size() < regressionCountIndex || bpmStats.size() < regressionCountIndex) return;
    const double meanTime = timeStats[regressionCountIndex - 1].mean;
    const double meanBPM = bpmStats[regressionCountIndex - 1].mean;
    double sxy = 0;
    double sxx = 0;
    for (std::size_t i = 0; i < timeHistory.size(); ++i) {
        sxy += (timeHistory[i] - meanTime) * (bpmHistory[i] - meanBPM);
        sxx += (timeHistory[i] - meanTime) * (timeHistory[i] - meanTime);
    }
    // Times that never move fit no line; the last good one is kept.
    if (sxx == 0) return;
    const double slope = sxy / sxx;
    lineFn = Line{slope, meanBPM - slope * meanTime};
}

std::uint64_t BPMHistoryStatistics::interpolatedTime(float ratio) const {
    if (timeHistory.empty()) return 0;
    double value = timeHistory.front();
    if (timeHistory.size() > 1) {
        const std::size_t span = static_cast<std::size_t>(historyCounts[regressionCountIndex]);
        const double start = timeHistory[timeHistory.size() > span ? timeHistory.size() - span : 0];
        value = static_cast<double>(ratio) * (timeHistory.back() - start) + start;
    }
    // Converting a negative, NaN or too-large value would be undefined.
    if (!(value >= 0)) return 0;
    if (value >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(value);
}

} // namespace sonabel
