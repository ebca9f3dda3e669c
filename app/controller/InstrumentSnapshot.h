#pragma once
// The open instrument as a transfer job sees it from its start to its end: the model byte, the
// framing and the firmware version are read once, so that a reply or a re-open meanwhile cannot
// change where or how the rest of the job's messages go.
#include "app/controller/ControllerState.h"
#include "app/protocol/SysExFraming.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace malvo {

struct InstrumentSnapshot {
    std::string portName;
    std::uint8_t deviceModel = 2;
    SysExFraming framing = SysExFraming::plain;
    int version1 = 1;
    int version2 = 0;
    int version3 = 0;

    bool operator==(const InstrumentSnapshot&) const = default;

    static InstrumentSnapshot of(const ControllerState& state, std::string portName);

    // A plain message as this instrument is to receive it.
    std::vector<std::uint8_t> framed(std::span<const std::uint8_t> plainMessage) const {
        return frameSysEx(plainMessage, framing);
    }
};

} // namespace malvo
