#include "app/controller/BankUpload.h"

#include "app/controller/NotSentText.h"

#include <optional>
#include <string>

namespace malvo {

bool BankUpload::run(const std::vector<std::vector<std::uint8_t>>& records,
                     const InstrumentSnapshot& target) {
    bool whole = true;
    std::optional<std::string> notSent;
    for (std::size_t r = 0; r < records.size(); ++r) {
        if (!link_.stillThere()) {
            whole = false;
            break;
        }
        const auto outcome = link_.send(target.framed(records[r]));
        if (!outcome.sent()) {
            whole = false;
            if (outcome.kind != sonabel::MIDISendOutcome::Kind::gone)
                notSent = notSentText("Record " + std::to_string(r + 1) + " of the bank was not sent", outcome) +
                          " The bank was not fully sent!";
            break;
        }
        output_.showProgress(r + 1);
        link_.pause(recordPause);
    }
    // Gone while the last record was stored is gone too soon to be sure it was.
    whole = whole && link_.stillThere();
    output_.showEnded();
    if (notSent)
        output_.showAlert(*notSent);
    else if (!whole && !link_.stopRequested())
        output_.showAlert(std::string(deviceLostText));
    return whole;
}

} // namespace malvo
