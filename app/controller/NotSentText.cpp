#include "app/controller/NotSentText.h"

namespace malvo {

std::string notSentText(std::string_view whatFailed, const sonabel::MIDISendOutcome& outcome) {
    const std::string why = outcome.kind == sonabel::MIDISendOutcome::Kind::gone
                                ? "the device is no longer connected"
                                : outcome.reason.empty() ? "the MIDI server gave no reason" : outcome.reason;
    return std::string(whatFailed) + ": " + why + ".";
}

} // namespace malvo
