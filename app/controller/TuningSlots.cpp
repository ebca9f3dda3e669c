#include "app/controller/TuningSlots.h"

#include "app/protocol/InstrumentMessages.h"

namespace malvo {

platform::SavePanelOptions TuningSlots::savePanelOptions(const std::string& slotName) {
    return {.title = "Choose Where To Save The Program",
            .nameFieldStringValue = slotName + ".syx",
            .allowedFileTypes = {},
            .showsHiddenFiles = false,
            .canCreateDirectories = true};
}

void TuningSlots::fetchTable(int index) const {
    const auto names = services_.state.tuningNames();
    if (index < 0 || static_cast<std::size_t>(index) >= names.size()) return;
    const auto chosen =
        services_.dialogs.runSavePanel(savePanelOptions(names[static_cast<std::size_t>(index)]));
    if (!chosen || chosen->empty()) return;
    fetchTable(static_cast<std::uint8_t>(index), *chosen);
}

void TuningSlots::fetchTable(std::uint8_t slot, const std::filesystem::path& file) const {
    // Without an instrument nothing can answer: no wait and no second alert.
    if (!services_.requireDevice()) return;
    auto& state = services_.state;
    state.setTuningFileTarget(file);
    state.mts_download_flag = 0;
    services_.sendSysEx(tuningDumpRequest(services_.model(), slot));
    const auto arrived = [&state] { return state.mts_download_flag != 0; };
    if (services_.waitFor(arrived)) return;
    // A dump that comes after the alert must not replace the file the user was told was not written.
    state.setTuningFileTarget(std::nullopt);
    if (arrived()) return;
    services_.alert("Something went wrong, please try again 1");
}

bool TuningSlots::sendNoteOnOff(std::uint8_t value) const {
    if (!services_.requireDevice()) return false;
    const auto message = noteOnOffMessage(services_.model(), value);
    if (!message) return false;
    services_.sendSysEx(*message);
    return true;
}

bool TuningSlots::switchMicrotuning(bool on) const {
    if (!services_.requireDevice()) return false;
    if (!on) sendNoteOnOff(0);
    services_.sendSysEx(microtuningSwitchMessage(services_.model(), on));
    services_.sendSysEx(command21Message(services_.model()));
    return true;
}

bool TuningSlots::switchNote(bool on) const {
    return sendNoteOnOff(on ? 1 : 0);
}

} // namespace malvo
