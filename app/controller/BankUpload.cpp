#include "app/controller/BankUpload.h"

#include <string>

namespace malvo {

bool BankUpload::run(const std::vector<std::vector<std::uint8_t>>& records,
                     const InstrumentSnapshot& target) {
    bool whole = true;
    for (std::size_t r = 0; r < records.size(); ++r) {
        if (!link_.stillThere()) {
            whole = false;
            break;
        }
        link_.send(target.framed(records[r]));
        output_.showProgress(r + 1);
        link_.pause(recordPause);
    }
    // Gone while the last record was stored is gone too soon to be sure it was.
    whole = whole && link_.stillThere();
    output_.showEnded();
    if (!whole && !(link_.cancelled && link_.cancelled())) output_.showAlert(std::string(deviceLostText));
    return whole;
}

} // namespace malvo
