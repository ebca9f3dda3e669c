#pragma once
// The mean and standard deviation of the last few tempi: the value that is published.
#include <vector>

namespace sonabel {

struct BPMHistoryAveraging {
    struct Results {
        double avg = 0;
        double std = 0;
        bool operator==(const Results&) const = default;
    };

    // Oldest first.
    std::vector<double> bpmHistory;
    // The history holds at most countLimit + 1 tempi after each addition (a negative limit counts as 0).
    int countLimit = 0;
    Results results;

    void add(double bpm);

    bool operator==(const BPMHistoryAveraging&) const = default;
};

} // namespace sonabel
