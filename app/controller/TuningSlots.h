#pragma once
// The instrument's tuning slots and switches: a slot's table fetched into a file, microtuning
// on and off, and the note switch of live tuning.
#include "app/controller/TuningServices.h"
#include "platform/ui/SavePanelOptions.h"

#include <cstdint>
#include <filesystem>
#include <string>

namespace malvo {

class TuningSlots {
public:
    explicit TuningSlots(const TuningServices& services) : services_(services) {}

    // The panel for the table of slot `index` with this name. The file proposed is always a
    // visible one in the folder shown: a name that gives none (empty, blank, only dots) proposes
    // "Tuning slot N.syx", as the log names the slot.
    static platform::SavePanelOptions savePanelOptions(int index, const std::string& slotName);

    // The table of slot `index` of the names list into a file the user chooses, written once its
    // own dump arrived; a time-out or a failed write alerts and leaves the chosen file as it was.
    void fetchTable(int index) const;
    void fetchTable(std::uint8_t slot, const std::filesystem::path& file) const;

    // Switching microtuning off first turns the note switch off, so no key is left sounding.
    // False, after "Open the Device!" or the alert for a failed send, when it did not all go out.
    bool switchMicrotuning(bool on) const;
    bool switchNote(bool on) const;
    // Values of 2 or more send nothing.
    bool sendNoteOnOff(std::uint8_t value) const;

private:
    const TuningServices& services_;
};

} // namespace malvo
