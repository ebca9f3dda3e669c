#include "emulator/InstrumentModel.h"

#include <array>

namespace emulation {

namespace {

InstrumentModel modelOfCode(std::uint8_t code) {
    switch (code) {
    case 1:
        return {"Pellandor", 1, 98, 10, false, 0x00, 10, {1, 3, 12}};
    case 2:
        return {"Toskar", 2, 256, 11, false, 0x17, 128, {1, 2, 1}};
    case 3:
        return {"Velmor", 3, 256, 10, false, 0x00, 128, {1, 0, 1}};
    default:
        return {"ORVANE", 4, 512, 4, true, 0x00, 128, {1, 0, 0}};
    }
}

} // namespace

std::optional<InstrumentModel> InstrumentModel::forPortName(std::string_view name) {
    static constexpr std::array<std::pair<std::string_view, std::uint8_t>, 6> names{{{"Pellandor", 1},
                                                                                     {"Toskar", 2},
                                                                                     {"Toskar MK1", 2},
                                                                                     {"Toskar MK2", 2},
                                                                                     {"Velmor", 3},
                                                                                     {"ORVANE", 4}}};
    for (const auto& [portName, code] : names)
        if (portName == name) return forCode(code, std::string(name));
    return std::nullopt;
}

std::optional<InstrumentModel> InstrumentModel::forCode(std::uint8_t code, std::string portName) {
    if (code < 1 || code > 4) return std::nullopt;
    InstrumentModel model = modelOfCode(code);
    model.portName = std::move(portName);
    return model;
}

} // namespace emulation
