#include "app/controller/TuningServices.h"

#include "app/controller/NotSentText.h"

namespace malvo {

void TuningServices::alert(const std::string& message) const {
    dialogs.runAlert({.messageText = "Error", .informativeText = message});
}

bool TuningServices::requireDevice() const {
    if (deviceOpen()) return true;
    alert("Open the Device!");
    return false;
}

bool TuningServices::sendCommand(std::span<const std::uint8_t> plainMessage, std::string_view whatFailed) const {
    return requireDevice() && sent(sendSysEx(plainMessage), whatFailed);
}

bool TuningServices::sent(const sonabel::MIDISendOutcome& outcome, std::string_view whatFailed) const {
    if (outcome.sent()) return true;
    alert(notSentText(whatFailed, outcome));
    return false;
}

bool TuningServices::waitFor(const std::function<bool()>& done, int sleeps) const {
    for (int i = 0; i < sleeps; ++i) {
        sleeper.sleepFor(pollInterval);
        if (done()) return true;
    }
    return false;
}

} // namespace malvo
