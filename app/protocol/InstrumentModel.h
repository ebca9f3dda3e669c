#pragma once
// The model code travels as the model byte of every instrument message; the instrument is
// recognised by the exact name of its MIDI port.
#include <cstdint>
#include <optional>
#include <string_view>

namespace malvo {

enum class InstrumentModel : std::uint8_t {
    Pellandor = 1,
    Toskar = 2,
    Velmor = 3,
    ORVANE = 4,
};

// Code of the instrument behind a port name, matched whole and case-sensitively
// ("Toskar MK1" and "Toskar MK2" are Toskars); nullopt for any other port.
std::optional<std::uint8_t> deviceModelForPortName(std::string_view portName);

// Tuning slots the instrument keeps: 10 on a Pellandor, 128 on every other model.
int tuningSlotCount(std::uint8_t deviceModel);

} // namespace malvo
