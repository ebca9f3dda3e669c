#pragma once
// What sets the models apart on the wire: the model byte, the size of a program record, the
// banks and tuning slots they hold.
#include "emulator/FirmwareVersion.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace emulation {

struct InstrumentModel {
    static constexpr int programsPerBank = 128;
    static constexpr int layerCount = 500;
    static constexpr std::size_t layerSize = 256;

    std::string portName;
    std::uint8_t code = 0;       // model byte
    std::size_t programSize = 0; // 98 (sent as 196 split bytes), 256 or 512
    int bankCount = 0;           // bank bytes 0 .. bankCount - 1
    bool hasLayers = false;      // the "Layers" bank, records of its own commands
    std::uint8_t bankUploadCommand = 0x00;
    int tuningSlots = 0;            // 10 or 128
    FirmwareVersion defaultVersion; // one with the tuning features

    bool splitsBytes() const { return programSize == 98; }
    // Bytes of a program on the wire.
    std::size_t programWireSize() const { return splitsBytes() ? 2 * programSize : programSize; }

    // Exact names only: "toskar" or "Velmor " are not instruments.
    static std::optional<InstrumentModel> forPortName(std::string_view name);
    // Any port name with a model's behaviour; nullopt for a code other than 1 to 4.
    static std::optional<InstrumentModel> forCode(std::uint8_t code, std::string portName);

    bool operator==(const InstrumentModel&) const = default;
};

} // namespace emulation
