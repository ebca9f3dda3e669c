#include "app/controller/InstrumentSnapshot.h"

#include <utility>

namespace malvo {

InstrumentSnapshot InstrumentSnapshot::of(const ControllerState& state, std::string portName) {
    return {.portName = std::move(portName),
            .deviceModel = static_cast<std::uint8_t>(state.device_model.load()),
            .framing = state.use_manufacturer_id ? SysExFraming::withManufacturerID : SysExFraming::plain,
            .version1 = state.version1.load(),
            .version2 = state.version2.load(),
            .version3 = state.version3.load()};
}

} // namespace malvo
