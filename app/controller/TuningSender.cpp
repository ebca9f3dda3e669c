#include "app/controller/TuningSender.h"

#include "app/protocol/Latin1Text.h"

#include <system_error>

namespace malvo {

platform::OpenPanelOptions TuningSender::panelOptions() {
    return {.title = "Choose a scala file",
            .allowedFileTypes = {"scl", "syx"},
            .showsHiddenFiles = false,
            .canCreateDirectories = false};
}

TuningSender::Result TuningSender::sendTuningFile() const {
    if (!services_.requireDevice()) return {};
    const auto chosen = services_.dialogs.runOpenPanel(panelOptions());
    if (!chosen || chosen->empty()) return {};
    return sendTuningFile(*chosen);
}

TuningSender::Result TuningSender::sendTuningFile(const std::filesystem::path& path) const {
    Result result;
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (error || !std::filesystem::exists(status)) {
        services_.alert(std::string(fileNotValidMessage));
        return result;
    }
    result.programName = TuningImport::nameOf(path);

    auto imported = TuningImport::fromFile(path);
    if (!imported) {
        services_.alert(std::string(fileNotValidMessage));
        return result;
    }
    // A scala file's name becomes the dump's; a ".syx" dump goes as it is.
    if (imported->scale) {
        if (const auto refusal = latin1NameRefusal("Tuning name \"" + composed(imported->name) + "\"",
                                                   imported->name, TuningDump::nameLength)) {
            services_.alert(*refusal);
            return result;
        }
    }
    if (!services_.sent(services_.sendUnframed(imported->mts_file.bytes()), "The tuning file was not sent")) {
        result.programName.reset();
        return result;
    }
    result.sent = std::move(imported);
    return result;
}

} // namespace malvo
