#include "app/controller/ControllerState.h"

namespace malvo {

void ControllerState::resetHandshake() {
    ready_flag = 0;
    ack_flag = 0;
    nak_flag = 0;
    version_flag = 0;
    need_update_list = 0;
    state_changed = 0;
    mts_download_flag = 0;
    mts_names_flag = 0;
    mtuning_get_state = microtuningUnknown;
    preset_ok = 0;
    currentNote = noKey;
}

void ControllerState::resetTuningNames(int slotCount) {
    std::lock_guard lock(buffers);
    mts_names_buf.assign(static_cast<std::size_t>(slotCount < 0 ? 0 : slotCount), std::string());
}

std::vector<std::string> ControllerState::tuningNames() const {
    std::lock_guard lock(buffers);
    return mts_names_buf;
}

void ControllerState::setPresetFileTarget(std::optional<std::filesystem::path> path) {
    std::lock_guard lock(buffers);
    preset_file = std::move(path);
}

} // namespace malvo
