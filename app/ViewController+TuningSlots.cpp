// The tuning-slot names and the microtuning state of the open instrument, read by polling what
// the receive handler stores.
#include "app/ViewController.h"
#include "app/protocol/InstrumentMessages.h"
#include "app/protocol/InstrumentModel.h"
#include "platform/core/ValueText.h"
#include "sonabel/internals/error_handling/Log.h"

namespace malvo {

void ViewController::refreshTuningNames() {
    state_.need_update_list = 0;
    const auto model = std::uint8_t(state_.device_model);
    const int count = tuningSlotCount(model);
    if (state_.tuningNames().size() != std::size_t(count)) state_.resetTuningNames(count);

    for (int slot = 0; slot < count; ++slot) {
        state_.mts_names_flag = 0;
        state_.arrivals.restart();
        if (!sendCommand(tuningNameRequest(model, std::uint8_t(slot)), "The tuning slot names were not requested"))
            return;
        // A silent slot keeps the name it had; an instrument that went away ends the refresh.
        if (waitUntil([this] { return state_.mts_names_flag != 0; }, 100)) continue;
        if (!instrumentStillListed()) break;
        sonabel::Log(
            sonabel::LogSite("refreshTuningNames()", sonabel::OSLog::midi, sonabel::OSLogType::error),
            state_.arrivals.inPlaceOf("No name arrived for tuning slot " + platform::describe(slot + 1)));
    }
    fillTuningNamesList(state_.tuningNames());
}

void ViewController::fillTuningNamesList(const std::vector<std::string>& names) {
    auto& list = *outlets_.program_names_list;
    list.clear();
    for (std::size_t i = 0; i < names.size(); ++i)
        list.addItem(QString::fromStdString(platform::describe(i + 1) + ": " + names[i]));
    if (names.empty()) return;
    list.setCurrentIndex(0);
    outlets_.mts_download_bank_outlet->setEnabled(names.front() != "empty");
}

void ViewController::queryMicrotuningState() {
    if (!currentDevice_) {
        showAlert("Open the Device!", "Error");
        return;
    }
    state_.mtuning_get_state = ControllerState::microtuningUnknown;
    state_.arrivals.restart();
    if (!sent(sendSysEx(microtuningStateQuery(std::uint8_t(state_.device_model))),
              "The microtuning state was not requested"))
        return;
    if (waitUntil([this] { return state_.mtuning_get_state != ControllerState::microtuningUnknown; }, 100)) return;
    sonabel::Log(sonabel::LogSite("queryMicrotuningState()", sonabel::OSLog::midi, sonabel::OSLogType::error),
                 state_.arrivals.inPlaceOf("No microtuning state arrived"));
    showAlert("Something went wrong, try again 2", "Error");
}

} // namespace malvo
