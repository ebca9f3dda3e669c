#include "app/protocol/InstrumentModel.h"

namespace malvo {

std::optional<std::uint8_t> deviceModelForPortName(std::string_view portName) {
    if (portName == "Pellandor") return std::uint8_t(InstrumentModel::Pellandor);
    if (portName == "Toskar" || portName == "Toskar MK1" || portName == "Toskar MK2")
        return std::uint8_t(InstrumentModel::Toskar);
    if (portName == "Velmor") return std::uint8_t(InstrumentModel::Velmor);
    if (portName == "ORVANE") return std::uint8_t(InstrumentModel::ORVANE);
    return std::nullopt;
}

int tuningSlotCount(std::uint8_t deviceModel) {
    return deviceModel == std::uint8_t(InstrumentModel::Pellandor) ? 10 : 128;
}

} // namespace malvo
