#pragma once
// The alert for a message the MIDI server did not get out: what failed and why, in plain words.
#include "sonabel/midi/MIDISendOutcome.h"

#include <string>
#include <string_view>

namespace malvo {

// "<whatFailed>: <why>." A device that is gone is said so, whatever the server's account of it.
std::string notSentText(std::string_view whatFailed, const sonabel::MIDISendOutcome& outcome);

} // namespace malvo
