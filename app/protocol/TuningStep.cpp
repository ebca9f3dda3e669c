#include "app/protocol/TuningStep.h"

namespace malvo {

// Written as comparisons rather than std::min/max so a value that is not a number passes through
// unchanged (and is then refused by the message builder) instead of depending on argument order.
double TuningStep::pitchSent(double shown) const {
    const double stepped = shown + semitones;
    if (semitones < 0 && stepped < lowest) return lowest;
    return stepped;
}

double TuningStep::pitchShown(double shown) const {
    const double sent = pitchSent(shown);
    if (semitones > 0 && sent > highestShown) return highestShown;
    return sent;
}

} // namespace malvo
