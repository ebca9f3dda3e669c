#pragma once
// What the controller and the receive handler share. The handler writes on the MIDI thread while
// the main thread (or an upload job) polls, so every flag and value is atomic and the buffers sit
// behind one mutex. A waiter clears its flag before sending the request it waits on.
#include "app/controller/ArrivalTally.h"
#include "app/controller/TuningFetches.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace malvo {

struct ControllerState {
    // Key number that means "no key is current".
    static constexpr std::uint8_t noKey = 150;
    // What mtuning_get_state holds while a state query is unanswered.
    static constexpr int microtuningUnknown = 2;

    // Model code of the open instrument (of the last one listed while none is open).
    std::atomic<int> device_model{2};
    // 1 when the open instrument answered in the framing with the manufacturer ID.
    std::atomic<int> use_manufacturer_id{0};

    std::atomic<int> ready_flag{0};
    std::atomic<int> ack_flag{0};
    std::atomic<int> nak_flag{0};
    std::atomic<int> version_flag{0};
    std::atomic<int> version1{1};
    std::atomic<int> version2{0};
    std::atomic<int> version3{0};
    std::atomic<int> need_update_list{0};
    std::atomic<int> state_changed{0};
    // 1 once a dump answered a fetch still waiting.
    std::atomic<std::uint8_t> mts_download_flag{0};
    std::atomic<std::uint8_t> mts_names_flag{0};
    std::atomic<int> mtuning_get_state{microtuningUnknown};
    // 1: a record arrived; 2: a record of the wrong length arrived and must be asked for again.
    std::atomic<std::uint8_t> preset_ok{0};
    std::atomic<std::uint8_t> currentNote{noKey};

    // Everything below is guarded by buffers.
    mutable std::mutex buffers;
    std::vector<std::uint8_t> Preset_buf;
    // One name per tuning slot of the open instrument, "" until the slot answers.
    std::vector<std::string> mts_names_buf;
    // Where a bank dump is written when its last record arrives; cleared likewise.
    std::optional<std::filesystem::path> preset_file;

    // Handshake flags as after start-up (the model and framing are left alone).
    void resetHandshake();
    // Empty names for every slot of the model: done on every open.
    void resetTuningNames(int slotCount);
    std::vector<std::string> tuningNames() const;

    // Slot-table fetches and the dumps that answer them; has its own lock.
    TuningFetches tuningFetches;
    // What came while a reply was awaited, for the log when it does not come; has its own lock.
    ArrivalTally arrivals;
    void setPresetFileTarget(std::optional<std::filesystem::path> path);
};

} // namespace malvo
