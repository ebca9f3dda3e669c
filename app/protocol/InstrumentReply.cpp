#include "app/protocol/InstrumentReply.h"

#include "app/protocol/InstrumentModel.h"
#include "app/protocol/Latin1Text.h"
#include "app/protocol/SysExCommand.h"

namespace malvo {

namespace {

using Kind = InstrumentReply::Kind;

// The MIDI Tuning Standard bulk dump, the one reply that is not in the instrument's framing.
constexpr std::size_t bulkTuningDumpSize = 408;

std::size_t programRecordWireSize(std::uint8_t deviceModel) {
    if (deviceModel == std::uint8_t(InstrumentModel::Pellandor)) return 196;
    if (deviceModel == std::uint8_t(InstrumentModel::ORVANE)) return 512;
    return 256;
}

void decodeProgramRecord(InstrumentReply& reply, std::span<const std::uint8_t> d, std::uint8_t deviceModel) {
    const std::size_t o = reply.commandOffset;
    const std::size_t wireSize = programRecordWireSize(deviceModel);
    if (d.size() != o + 4 + wireSize) {
        reply.kind = Kind::recordWrongLength;
        return;
    }
    reply.kind = Kind::programRecord;
    reply.bank = d[o + 1];
    reply.record = d[o + 2];
    const auto wire = d.subspan(o + 3, wireSize);
    if (deviceModel == std::uint8_t(InstrumentModel::Pellandor)) {
        reply.data.reserve(wireSize / 2);
        for (std::size_t i = 0; i + 1 < wire.size(); i += 2)
            reply.data.push_back(static_cast<std::uint8_t>(wire[i] * 128 + (wire[i + 1] & 0x7F)));
    } else {
        reply.data.assign(wire.begin(), wire.end());
    }
}

void decodeLayerRecord(InstrumentReply& reply, std::span<const std::uint8_t> d) {
    const std::size_t o = reply.commandOffset;
    constexpr std::size_t layerSize = 256;
    if (d.size() != o + 4 + layerSize) {
        reply.kind = Kind::recordWrongLength;
        return;
    }
    reply.kind = Kind::layerRecord;
    reply.record = static_cast<std::uint16_t>(d[o + 1] * 128 + d[o + 2]);
    const auto wire = d.subspan(o + 3, layerSize);
    reply.data.assign(wire.begin(), wire.end());
}

void decodeKeyTuning(InstrumentReply& reply, std::span<const std::uint8_t> d) {
    const std::size_t o = reply.commandOffset;
    if (d.size() < o + 3) return;
    reply.key = d[o + 1];
    if (reply.key == InstrumentReply::noKeyNumber) {
        reply.kind = Kind::noKey;
        return;
    }
    // Anything else above 127 is no key of the keyboard.
    if (reply.key > 127 || d.size() < o + 6) return;
    const int fraction = d[o + 3] * 128 + d[o + 4];
    reply.pitch = d[o + 2] + fraction / 16384.0;
    reply.kind = Kind::keyTuning;
}

void decodeTuningName(InstrumentReply& reply, std::span<const std::uint8_t> d, std::uint8_t deviceModel) {
    const std::size_t o = reply.commandOffset;
    constexpr std::size_t nameLength = 16;
    if (d.size() != o + 3 + nameLength) return;
    reply.slot = d[o + 1];
    if (reply.slot >= tuningSlotCount(deviceModel)) return;
    std::vector<std::uint8_t> name;
    for (std::uint8_t b : d.subspan(o + 2, nameLength))
        if (b != 0) name.push_back(b);
    reply.name = utf8FromLatin1(name);
    reply.kind = Kind::tuningName;
}

} // namespace

InstrumentReply InstrumentReply::decode(std::span<const std::uint8_t> d, std::uint8_t deviceModel) {
    InstrumentReply reply;
    if (d.size() >= 2 && d[0] == 0xF0 && d[1] == 0x7E) {
        // Only a dump that ends in F7 is one the ".syx" loader takes back.
        if (d.size() == bulkTuningDumpSize && d.back() == 0xF7) {
            reply.kind = Kind::tuningDump;
            reply.data.assign(d.begin(), d.end());
        }
        return reply;
    }
    const std::size_t o = sysExCommandOffset(d, deviceModel);
    if (o == 0) return reply;
    reply.commandOffset = o;
    reply.framing = framingForCommandOffset(o);
    reply.command = d[o];
    // Payload bytes the reply holds before its closing byte.
    const std::size_t payload = d.size() >= o + 2 ? d.size() - o - 2 : 0;

    switch (static_cast<SysExCommand>(reply.command)) {
    case SysExCommand::programDump:
        decodeProgramRecord(reply, d, deviceModel);
        break;
    case SysExCommand::readyForFirmware:
        reply.kind = Kind::readyForFirmware;
        break;
    case SysExCommand::parameter:
        if (payload >= 2 && d[o + 1] == microtuningParameter &&
            deviceModel != std::uint8_t(InstrumentModel::Pellandor)) {
            reply.state = d[o + 2];
            reply.kind = Kind::microtuningState;
        }
        break;
    case SysExCommand::keyTuning:
        decodeKeyTuning(reply, d);
        break;
    case SysExCommand::keyReleased:
        reply.kind = Kind::keyReleased;
        break;
    case SysExCommand::version:
        if (d.size() == o + 5) {
            reply.version = {d[o + 1], d[o + 2], d[o + 3]};
            reply.kind = Kind::version;
        }
        break;
    case SysExCommand::stateChanged:
        reply.kind = Kind::stateChanged;
        break;
    case SysExCommand::layerRecord:
        decodeLayerRecord(reply, d);
        break;
    case SysExCommand::acknowledge:
        reply.kind = Kind::acknowledge;
        break;
    case SysExCommand::negativeAcknowledge:
        reply.kind = Kind::negativeAcknowledge;
        break;
    case SysExCommand::microtuningState:
        if (payload >= 1) {
            reply.state = d[o + 1];
            reply.kind = Kind::microtuningState;
        }
        break;
    case SysExCommand::tuningName:
        decodeTuningName(reply, d, deviceModel);
        break;
    case SysExCommand::tuningNamesChanged:
        reply.kind = Kind::tuningNamesChanged;
        break;
    case SysExCommand::programChanged:
        reply.kind = Kind::programChanged;
        break;
    default:
        break;
    }
    return reply;
}

} // namespace malvo
