#include "sonabel/midi/midifile/BPMHistoryAveraging.h"

#include <algorithm>
#include <cmath>

namespace sonabel {

void BPMHistoryAveraging::add(double bpm) {
    const std::size_t limit = static_cast<std::size_t>(std::max(countLimit, 0));
    if (bpmHistory.size() > limit)
        bpmHistory.erase(bpmHistory.begin(),
                         bpmHistory.begin() + static_cast<std::ptrdiff_t>(bpmHistory.size() - limit));
    bpmHistory.push_back(bpm);

    const double count = static_cast<double>(bpmHistory.size());
    if (bpmHistory.size() == 1) {
        results = {bpm, 0};
        return;
    }
    double sum = 0;
    for (const double value : bpmHistory)
        sum += value;
    const double avg = sum / count;
    double squares = 0;
    for (const double value : bpmHistory)
        squares += (value - avg) * (value - avg);
    results = {avg, std::sqrt(squares / (count - 1))};
}

} // namespace sonabel
