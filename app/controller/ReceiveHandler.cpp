#include "app/controller/ReceiveHandler.h"

#include "app/protocol/FileBytes.h"
#include "app/protocol/InstrumentReply.h"
#include "app/protocol/SysExCommand.h"
#include "sonabel/internals/error_handling/Log.h"

#include <utility>

namespace malvo {

namespace {

using Kind = InstrumentReply::Kind;

// A bank dump never holds more than 500 layers of 256 bytes; records beyond that are not kept, so
// a stream of stray records cannot grow the buffer without end.
constexpr std::size_t maxDumpBytes = 500 * 256;
constexpr std::uint16_t lastProgram = 127;
constexpr std::uint16_t lastLayer = 499;

bool writeDump(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
    if (writeFileReplacing(path, bytes)) return true;
    sonabel::Log(sonabel::LogSite("SysexGetWithNotification(_:)", sonabel::OSLog::fileHandling,
                                  sonabel::OSLogType::error),
                 "Could not write", path.string());
    return false;
}

} // namespace

void ReceiveHandler::handle(std::span<const std::uint8_t> message) {
    const auto model = static_cast<std::uint8_t>(state_.device_model.load());
    const InstrumentReply reply = InstrumentReply::decode(message, model);
    switch (reply.kind) {
    case Kind::ignored:
        if (!message.empty()) state_.arrivals.count(message.front());
        break;
    case Kind::tuningDump:
        takeTuningDump(reply.data);
        break;
    case Kind::programRecord:
        takeRecord(reply.data, reply.record == 0, reply.record == lastProgram);
        break;
    case Kind::layerRecord:
        takeRecord(reply.data, reply.record == 0, reply.record == lastLayer);
        break;
    case Kind::recordWrongLength:
        state_.preset_ok = 2;
        break;
    case Kind::readyForFirmware:
        state_.ready_flag = 1;
        break;
    case Kind::microtuningState:
        takeMicrotuningState(reply.command, reply.state);
        break;
    case Kind::keyTuning:
        state_.currentNote = reply.key;
        output_.showKey(reply.key, reply.pitch);
        break;
    case Kind::noKey:
        state_.currentNote = ControllerState::noKey;
        break;
    case Kind::keyReleased:
        state_.currentNote = ControllerState::noKey;
        output_.showKeyReleased();
        break;
    case Kind::version:
        // The numbers first: a waiter that sees the flag reads all three.
        state_.use_manufacturer_id = reply.framing == SysExFraming::withManufacturerID ? 1 : 0;
        state_.version1 = reply.version[0];
        state_.version2 = reply.version[1];
        state_.version3 = reply.version[2];
        state_.version_flag = 1;
        break;
    case Kind::stateChanged:
        state_.state_changed = 1;
        break;
    case Kind::acknowledge:
        state_.ack_flag = 1;
        break;
    case Kind::negativeAcknowledge:
        state_.nak_flag = 1;
        break;
    case Kind::tuningName:
        takeTuningName(reply.slot, reply.name);
        break;
    case Kind::tuningNamesChanged:
        state_.need_update_list = 1;
        break;
    case Kind::programChanged:
        output_.clearProgramName();
        state_.need_update_list = 1;
        break;
    }
}

// The fetch it answers writes it; a dump that answers no waiting fetch is dropped.
void ReceiveHandler::takeTuningDump(std::span<const std::uint8_t> dump) {
    if (state_.tuningFetches.answer(dump, clock_.now())) state_.mts_download_flag = 1;
}

void ReceiveHandler::takeRecord(std::span<const std::uint8_t> data, bool first, bool last) {
    std::vector<std::uint8_t> bank;
    std::optional<std::filesystem::path> target;
    {
        std::lock_guard lock(state_.buffers);
        if (first) state_.Preset_buf.clear();
        if (state_.Preset_buf.size() + data.size() <= maxDumpBytes)
            state_.Preset_buf.insert(state_.Preset_buf.end(), data.begin(), data.end());
        if (last) {
            target = std::exchange(state_.preset_file, std::nullopt);
            if (target) bank = state_.Preset_buf;
        }
    }
    if (target && !writeDump(*target, bank)) return;
    state_.preset_ok = 1;
}

void ReceiveHandler::takeMicrotuningState(std::uint8_t command, std::uint8_t value) {
    state_.mtuning_get_state = value;
    if (value > 1) {
        output_.showWrongState();
        return;
    }
    output_.showMicrotuningState(command, value);
}

void ReceiveHandler::takeTuningName(std::uint8_t slot, const std::string& name) {
    {
        std::lock_guard lock(state_.buffers);
        // Only slots of the open instrument have a place; the list never grows.
        if (slot >= state_.mts_names_buf.size()) return;
        state_.mts_names_buf[slot] = name;
    }
    state_.mts_names_flag = 1;
}

} // namespace malvo
