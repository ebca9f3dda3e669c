#include "app/controller/TuningSlots.h"

#include "app/protocol/FileBytes.h"
#include "app/protocol/InstrumentMessages.h"
#include "platform/core/ValueText.h"
#include "sonabel/internals/error_handling/Log.h"

#include <algorithm>

namespace malvo {

platform::SavePanelOptions TuningSlots::savePanelOptions(int index, const std::string& slotName) {
    // A leading dot hides the file, a slash names a folder.
    std::string name = slotName.substr(std::min(slotName.size(), slotName.find_first_not_of(". ")));
    std::replace(name.begin(), name.end(), '/', '-');
    if (name.empty()) name = "Tuning slot " + platform::describe(index + 1);
    return {.title = "Choose Where To Save The Program",
            .nameFieldStringValue = name + ".syx",
            .allowedFileTypes = {},
            .showsHiddenFiles = false,
            .canCreateDirectories = true};
}

void TuningSlots::fetchTable(int index) const {
    const auto names = services_.state.tuningNames();
    if (index < 0 || static_cast<std::size_t>(index) >= names.size()) return;
    const auto chosen =
        services_.dialogs.runSavePanel(savePanelOptions(index, names[static_cast<std::size_t>(index)]));
    if (!chosen || chosen->empty()) return;
    fetchTable(static_cast<std::uint8_t>(index), *chosen);
}

void TuningSlots::fetchTable(std::uint8_t slot, const std::filesystem::path& file) const {
    // Without an instrument nothing can answer: no wait and no second alert.
    if (!services_.requireDevice()) return;
    auto& fetches = services_.state.tuningFetches;
    services_.state.mts_download_flag = 0;
    const auto ticket = fetches.add(services_.clock.now());
    services_.state.arrivals.restart();
    if (!services_.sent(services_.sendSysEx(tuningDumpRequest(services_.model(), slot)),
                        "The tuning table was not requested")) {
        fetches.withdraw(ticket);
        return;
    }
    std::optional<TuningFetches::Dump> dump;
    if (!services_.waitFor([&] { return (dump = fetches.take(ticket)).has_value(); }))
        dump = fetches.giveUp(ticket);
    if (!dump) {
        sonabel::Log(sonabel::LogSite("download_bank(_:)", sonabel::OSLog::midi, sonabel::OSLogType::error),
                     services_.state.arrivals.inPlaceOf("No tuning table arrived for slot " +
                                                        platform::describe(int(slot) + 1)));
        services_.alert("Something went wrong, please try again 1");
        return;
    }
    // The instrument did answer: a file that cannot be written is our failure, and said so.
    std::error_code error;
    if (!writeFileReplacing(file, *dump, &error))
        services_.alert("Could not write " + file.string() + ": " + error.message());
}

bool TuningSlots::sendNoteOnOff(std::uint8_t value) const {
    if (!services_.requireDevice()) return false;
    const auto message = noteOnOffMessage(services_.model(), value);
    if (!message) return false;
    return services_.sent(services_.sendSysEx(*message),
                          value ? "Live tuning was not switched on" : "Live tuning was not switched off");
}

bool TuningSlots::switchMicrotuning(bool on) const {
    if (!services_.requireDevice()) return false;
    if (!on && !sendNoteOnOff(0)) return false;
    const std::string_view failed =
        on ? "Microtuning was not switched on" : "Microtuning was not switched off";
    return services_.sent(services_.sendSysEx(microtuningSwitchMessage(services_.model(), on)), failed) &&
           services_.sent(services_.sendSysEx(command21Message(services_.model())), failed);
}

bool TuningSlots::switchNote(bool on) const {
    return sendNoteOnOff(on ? 1 : 0);
}

} // namespace malvo
