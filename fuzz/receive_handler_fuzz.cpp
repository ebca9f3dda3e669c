// Arbitrary SysEx replies, one after another, through the controller's receive handler: no crash,
// no hang, and the shared state stays within what its waiters expect.
//
// Input: a model byte, then messages each preceded by its length in two bytes (high first).
#include "app/controller/ReceiveHandler.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

// Checks the values handed on to be shown.
class CheckingOutput final : public malvo::ReceiveHandlerOutput {
public:
    // Semitone and fraction bytes may carry 8 bits, as the instruments send them.
    void showKey(std::uint8_t key, double pitch) override {
        require(key < 128 && std::isfinite(pitch) && pitch >= 0 && pitch < 258);
    }
    void showMicrotuningState(std::uint8_t command, std::uint8_t state) override {
        require((command == 0x06 || command == 0x30) && state <= 1);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    malvo::ControllerState state;
    state.device_model = data[0] % 6; // 0 and 5 are no model: nothing may be taken
    const int slots = state.device_model == 1 ? 10 : 128;
    state.resetTuningNames(slots);
    CheckingOutput output;
    malvo::ReceiveHandler handler(state, output);

    std::span<const std::uint8_t> rest(data + 1, size - 1);
    while (rest.size() >= 2) {
        const std::size_t length = std::size_t(rest[0]) << 8 | rest[1];
        rest = rest.subspan(2);
        const auto message = rest.first(length < rest.size() ? length : rest.size());
        rest = rest.subspan(message.size());
        handler.handle(message);

        require(state.use_manufacturer_id == 0 || state.use_manufacturer_id == 1);
        require(state.preset_ok <= 2);
        require(state.currentNote == malvo::ControllerState::noKey || state.currentNote < 128);
        require(state.tuningNames().size() == std::size_t(slots));
        std::lock_guard lock(state.buffers);
        require(state.Preset_buf.size() <= 500 * 256);
    }
    return 0;
}
