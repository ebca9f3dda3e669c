#pragma once
// Sending a tuning file the user chooses: a scala file converted to a bulk tuning dump, or a
// ".syx" dump examined and sent as it is. The dump always goes out unframed.
#include "app/controller/TuningServices.h"
#include "app/protocol/TuningImport.h"
#include "platform/ui/OpenPanelOptions.h"

#include <optional>
#include <string>

namespace malvo {

class TuningSender {
public:
    explicit TuningSender(const TuningServices& services) : services_(services) {}

    struct Result {
        // The file's name without its extension, set once the file could be reached, also when
        // its contents are refused afterwards; not when the dump could not be sent.
        std::optional<std::string> programName;
        // What went out; nullopt when nothing was sent.
        std::optional<TuningImport> sent;
    };

    static platform::OpenPanelOptions panelOptions();

    // Asks for the file and sends it; every refusal alerts "File is not valid!", but a scala file
    // whose name the wire cannot carry is refused with its own alert, and so is a dump the MIDI
    // server did not send.
    Result sendTuningFile() const;
    // The same with the file already chosen.
    Result sendTuningFile(const std::filesystem::path& path) const;

private:
    const TuningServices& services_;
};

} // namespace malvo
