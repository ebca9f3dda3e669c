#include "app/protocol/InstrumentMessages.h"

#include "app/protocol/InstrumentModel.h"
#include "app/protocol/Latin1Text.h"

#include <initializer_list>

namespace malvo {

namespace {

constexpr std::uint8_t sysEx = 0xF0;
constexpr std::uint8_t sysExEnd = 0xF7;

Bytes command(std::uint8_t deviceModel, SysExCommand cmd, std::initializer_list<std::uint8_t> payload) {
    return shortCommand(deviceModel, cmd, std::span<const std::uint8_t>(payload.begin(), payload.size()));
}

std::uint8_t high7(std::uint64_t value) {
    return static_cast<std::uint8_t>((value >> 7) & 0x7F);
}
std::uint8_t low7(std::uint64_t value) {
    return static_cast<std::uint8_t>(value & 0x7F);
}

} // namespace

Bytes versionRequest(std::uint8_t deviceModel, SysExFraming framing) {
    return frameSysEx(command(deviceModel, SysExCommand::version, {}), framing);
}

Bytes shortCommand(std::uint8_t deviceModel, SysExCommand cmd, std::span<const std::uint8_t> payload) {
    Bytes out{sysEx, deviceModel, static_cast<std::uint8_t>(cmd)};
    out.reserve(payload.size() + 4);
    out.insert(out.end(), payload.begin(), payload.end());
    out.push_back(sysExEnd);
    return out;
}

Bytes stateRequest(std::uint8_t deviceModel) {
    return command(deviceModel, SysExCommand::requestState, {});
}

Bytes parameterMessage(std::uint8_t deviceModel, std::uint8_t parameter, std::uint8_t value) {
    return command(deviceModel, SysExCommand::parameter, {parameter, value});
}

Bytes microtuningSwitchMessage(std::uint8_t deviceModel, bool on) {
    return parameterMessage(deviceModel, microtuningParameter, on ? 1 : 0);
}

Bytes command21Message(std::uint8_t deviceModel) {
    return command(deviceModel, SysExCommand::afterMicrotuning, {});
}

std::optional<Bytes> noteOnOffMessage(std::uint8_t deviceModel, std::uint8_t value) {
    if (value >= 2) return std::nullopt;
    return command(deviceModel, SysExCommand::noteOnOff, {value});
}

Bytes microtuningStateQuery(std::uint8_t deviceModel) {
    return command(deviceModel, SysExCommand::microtuningState, {});
}

Bytes tuningDumpRequest(std::uint8_t deviceModel, std::uint8_t slot) {
    return command(deviceModel, SysExCommand::requestTuningDump, {slot});
}

Bytes tuningNameRequest(std::uint8_t deviceModel, std::uint8_t slot) {
    return command(deviceModel, SysExCommand::tuningName, {slot});
}

Bytes programRequest(std::uint8_t deviceModel, std::uint8_t bank, std::uint8_t program) {
    return command(deviceModel, SysExCommand::requestProgram, {bank, program});
}

Bytes layerRequest(std::uint8_t deviceModel, std::uint16_t index) {
    return command(deviceModel, SysExCommand::requestLayer, {high7(index), low7(index)});
}

Bytes programNameMessage(std::uint8_t deviceModel, std::string_view utf8Name) {
    constexpr std::size_t nameLength = 16;
    Bytes name = latin1Bytes(utf8Name, nameLength);
    name.resize(nameLength, 0);
    return shortCommand(deviceModel, SysExCommand::programName, name);
}

std::uint64_t firmwareBlockCount(std::uint64_t fileSize) {
    return (fileSize >> 8) + ((fileSize & 0xFF) != 0 ? 1 : 0);
}

std::optional<Bytes> firmwareBlockMessage(std::uint8_t deviceModel, std::uint64_t block,
                                          std::uint64_t blockCount, std::span<const std::uint8_t> data) {
    if (block == 0 || block > maxFirmwareBlocks || blockCount == 0 || blockCount > maxFirmwareBlocks ||
        data.size() > firmwareBlockSize)
        return std::nullopt;
    Bytes out{sysEx,
              deviceModel,
              static_cast<std::uint8_t>(SysExCommand::firmwareBlock),
              high7(block),
              low7(block),
              high7(blockCount),
              low7(blockCount),
              0x01};
    out.reserve(out.size() + 2 * data.size() + 1);
    for (std::uint8_t b : data) {
        out.push_back(b >> 7);
        out.push_back(b & 0x7F);
    }
    out.push_back(sysExEnd);
    return out;
}

std::size_t bankRecordSize(std::uint8_t deviceModel, std::uint8_t bank) {
    if (deviceModel == std::uint8_t(InstrumentModel::Pellandor)) return 98;
    if (deviceModel == std::uint8_t(InstrumentModel::ORVANE) && bank != layersBank) return 512;
    return 256;
}

std::optional<Bytes> bankRecordMessage(std::uint8_t deviceModel, std::uint8_t bank, std::uint16_t record,
                                       std::span<const std::uint8_t> data) {
    const std::size_t size = bankRecordSize(deviceModel, bank);
    if (data.size() > size) return std::nullopt;
    Bytes padded(data.begin(), data.end());
    padded.resize(size, 0);

    const bool layers = deviceModel == std::uint8_t(InstrumentModel::ORVANE) && bank == layersBank;
    if (record > (layers ? 0x3FFF : 0xFF)) return std::nullopt;

    Bytes out{sysEx, deviceModel};
    if (layers) {
        out.insert(out.end(),
                   {static_cast<std::uint8_t>(SysExCommand::layerRecord), high7(record), low7(record)});
    } else {
        const auto cmd = deviceModel == std::uint8_t(InstrumentModel::Toskar) ? SysExCommand::toskarBankRecord
                                                                              : SysExCommand::programDump;
        out.insert(out.end(), {static_cast<std::uint8_t>(cmd), bank, static_cast<std::uint8_t>(record)});
    }
    if (deviceModel == std::uint8_t(InstrumentModel::Pellandor)) {
        for (std::uint8_t b : padded) {
            out.push_back(b >> 7);
            out.push_back(b & 0x7F);
        }
    } else {
        out.insert(out.end(), padded.begin(), padded.end());
    }
    out.push_back(sysExEnd);
    return out;
}

} // namespace malvo
