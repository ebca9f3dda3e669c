#include "emulator/InstrumentEmulator.h"

#include <algorithm>
#include <utility>

namespace emulation {

using platform::midi::ExternalEndpoint;
using platform::midi::ExternalPacket;
using platform::midi::InProcessServer;

namespace {

constexpr std::uint8_t kManufacturerID[3] = {0x00, 0x66, 0x2B};
constexpr std::uint8_t kMicrotuningParameter = 0x24;
constexpr std::size_t kBulkDumpLength = 408;
constexpr std::size_t kFirmwareBlockSize = 256;

std::vector<std::uint8_t> nameField(const std::string& name) {
    std::vector<std::uint8_t> field(16, 0);
    for (std::size_t i = 0; i < name.size() && i < field.size(); ++i)
        field[i] = static_cast<std::uint8_t>(name[i]);
    return field;
}

std::vector<std::uint8_t> bulkDump(const InstrumentState::Slot& slot) {
    std::vector<std::uint8_t> dump{0xF0, 0x7E, 0x00, 0x08, 0x01, 0x00};
    const auto name = nameField(slot.name);
    dump.insert(dump.end(), name.begin(), name.end());
    for (const auto& pitch : slot.table.keys) {
        dump.push_back(pitch.semitone);
        dump.push_back(static_cast<std::uint8_t>((pitch.fraction >> 7) & 0x7F));
        dump.push_back(static_cast<std::uint8_t>(pitch.fraction & 0x7F));
    }
    std::uint8_t checksum = 0;
    for (std::size_t i = 1; i < dump.size(); ++i)
        checksum ^= dump[i];
    dump.push_back(checksum);
    dump.push_back(0xF7);
    return dump;
}

} // namespace

std::shared_ptr<InstrumentEmulator> InstrumentEmulator::make(InProcessServer& server,
                                                             InstrumentEmulatorConfig config) {
    auto model = config.model ? InstrumentModel::forCode(*config.model, config.portName)
                              : InstrumentModel::forPortName(config.portName);
    if (!model) return {};
    std::shared_ptr<InstrumentEmulator> emulator(new InstrumentEmulator(server, std::move(config), *model));
    if (!emulator->plug()) return {};
    return emulator;
}

InstrumentEmulator::InstrumentEmulator(InProcessServer& server, InstrumentEmulatorConfig config,
                                       InstrumentModel model)
    : server_(server), config_(std::move(config)), model_(std::move(model)), sourceID_(config_.sourceID),
      destinationID_(config_.destinationID), state_(InstrumentState::factory(model_)),
      framing_(config_.framing),
      scheduler_(
          *config_.clock, [this](const Bytes& message) { sendNow(message); }, config_.replyThread) {
    if (config_.version) state_.version = *config_.version;
}

InstrumentEmulator::~InstrumentEmulator() {
    unplug();
    scheduler_.stop();
}

bool InstrumentEmulator::plug() {
    MIDIEndpointRef source = 0;
    MIDIEndpointRef destination = 0;
    ExternalEndpoint description{.name = model_.portName};
    description.uniqueID = sourceID_;
    if (server_.addExternalSource(description, &source) != noErr) return false;
    description.uniqueID = destinationID_;
    if (server_.addExternalDestination(
            description, &destination,
            [this](MIDIEndpointRef, const ExternalPacket& packet) { onPacket(packet); }) != noErr) {
        server_.removeExternalEndpoint(source);
        return false;
    }
    server_.getIntegerProperty(source, kMIDIPropertyUniqueID, &sourceID_);
    server_.getIntegerProperty(destination, kMIDIPropertyUniqueID, &destinationID_);
    source_ = source;
    destination_ = destination;
    return true;
}

void InstrumentEmulator::unplug() {
    const MIDIEndpointRef source = source_.exchange(0);
    const MIDIEndpointRef destination = destination_.exchange(0);
    scheduler_.clear();
    // Waits for a delivery to the handler in flight; nothing reaches it afterwards.
    if (destination) server_.removeExternalEndpoint(destination);
    if (source) server_.removeExternalEndpoint(source);
    std::lock_guard lock(mutex_);
    assembler_.reset();
}

void InstrumentEmulator::replug() {
    if (!isPlugged()) plug();
}

// State and log -------------------------------------------------------------------------------

InstrumentState InstrumentEmulator::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void InstrumentEmulator::modifyState(const std::function<void(InstrumentState&)>& change) {
    std::lock_guard lock(mutex_);
    change(state_);
}

void InstrumentEmulator::setVersion(FirmwareVersion version) {
    std::lock_guard lock(mutex_);
    state_.version = version;
}

void InstrumentEmulator::setFraming(Framing framing) {
    std::lock_guard lock(mutex_);
    framing_ = framing;
}

EmulatorFaults InstrumentEmulator::faults() const {
    std::lock_guard lock(mutex_);
    return faults_;
}

void InstrumentEmulator::setFaults(EmulatorFaults faults) {
    std::lock_guard lock(mutex_);
    faults_ = std::move(faults);
}

std::vector<InstrumentEmulator::Bytes> InstrumentEmulator::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<InstrumentEmulator::Bytes> InstrumentEmulator::takeReceived() {
    std::lock_guard lock(mutex_);
    return std::exchange(received_, {});
}

std::vector<InstrumentEmulator::Bytes> InstrumentEmulator::sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
}

void InstrumentEmulator::clearLog() {
    std::lock_guard lock(mutex_);
    received_.clear();
    sent_.clear();
}

// Spontaneous messages ------------------------------------------------------------------------

void InstrumentEmulator::pressKey(std::uint8_t key) {
    {
        std::lock_guard lock(mutex_);
        dispatch({keyReport(key)}, false);
    }
    scheduler_.pump();
}

InstrumentEmulator::Reply InstrumentEmulator::keyReport(std::uint8_t key) const {
    TuningTable::Pitch pitch;
    if (key < 128) pitch = state_.liveTuning.keys[key];
    const std::uint8_t payload[] = {key, pitch.semitone,
                                    static_cast<std::uint8_t>((pitch.fraction >> 7) & 0x7F),
                                    static_cast<std::uint8_t>(pitch.fraction & 0x7F)};
    return framed(0x09, payload);
}

void InstrumentEmulator::reportKey(std::uint8_t key, std::uint8_t semitone, std::uint8_t fractionHigh,
                                   std::uint8_t fractionLow) {
    const std::uint8_t payload[] = {key, semitone, fractionHigh, fractionLow};
    {
        std::lock_guard lock(mutex_);
        dispatch({framed(0x09, payload)}, false);
    }
    scheduler_.pump();
}

void InstrumentEmulator::releaseKey() {
    {
        std::lock_guard lock(mutex_);
        dispatch({framed(0x10, {})}, false);
    }
    scheduler_.pump();
}

void InstrumentEmulator::stateChanged() {
    {
        std::lock_guard lock(mutex_);
        dispatch({framed(0x16, {})}, false);
    }
    scheduler_.pump();
}

void InstrumentEmulator::listChanged() {
    {
        std::lock_guard lock(mutex_);
        dispatch({framed(0x34, {})}, false);
    }
    scheduler_.pump();
}

void InstrumentEmulator::programChanged() {
    {
        std::lock_guard lock(mutex_);
        state_.programName.fill(0);
        dispatch({framed(0x36, {})}, false);
    }
    scheduler_.pump();
}

void InstrumentEmulator::sendRaw(std::span<const std::uint8_t> bytes) {
    {
        std::lock_guard lock(mutex_);
        dispatch({Reply{Bytes(bytes.begin(), bytes.end()), false}}, false);
    }
    scheduler_.pump();
}

std::size_t InstrumentEmulator::pump() {
    return scheduler_.pump();
}

std::size_t InstrumentEmulator::pendingReplies() const {
    return scheduler_.pending();
}

// Sending -------------------------------------------------------------------------------------

InstrumentEmulator::Reply InstrumentEmulator::framed(std::uint8_t command,
                                                     std::span<const std::uint8_t> payload) const {
    const bool withID =
        framing_ == Framing::manufacturerID || (framing_ == Framing::both && lastRequestWithID_);
    Bytes message{0xF0};
    if (withID) message.insert(message.end(), std::begin(kManufacturerID), std::end(kManufacturerID));
    message.push_back(model_.code);
    message.push_back(command);
    message.insert(message.end(), payload.begin(), payload.end());
    message.push_back(0xF7);
    return {std::move(message), true};
}

InstrumentEmulator::Bytes InstrumentEmulator::withFaults(Reply reply) {
    Bytes& m = reply.message;
    if (reply.framed && m.size() >= 4) {
        const bool withID = m[1] == 0x00 && m.size() >= 7;
        if (faults_.replyModel) m[withID ? 4 : 1] = *faults_.replyModel;
        if (withID && faults_.replyManufacturerID)
            std::copy_n(faults_.replyManufacturerID->begin(), 3, m.begin() + 1);
    }
    if (faults_.wrongLengthReplies > 0 && m.size() >= 2) {
        --faults_.wrongLengthReplies;
        if (faults_.lengthChange > 0) {
            m.insert(m.end() - 1, static_cast<std::size_t>(faults_.lengthChange), 0x00);
        } else {
            const auto cut =
                std::min<std::size_t>(static_cast<std::size_t>(-faults_.lengthChange), m.size() - 2);
            m.erase(m.end() - 1 - static_cast<std::ptrdiff_t>(cut), m.end() - 1);
        }
    }
    if (faults_.truncatedReplies > 0 && !m.empty()) {
        --faults_.truncatedReplies;
        m.resize(faults_.truncateTo ? std::min(faults_.truncateTo, m.size() - 1) : m.size() / 2);
    }
    return std::move(m);
}

// Under mutex_; the scheduler takes its own lock and sends without ours.
void InstrumentEmulator::dispatch(std::vector<Reply> replies, bool isAnswer) {
    const auto delay =
        isAnswer ? static_cast<std::uint64_t>(std::max<std::int64_t>(faults_.replyDelay.count(), 0)) : 0;
    for (auto& reply : replies) {
        if (isAnswer)
            scheduler_.schedule(withFaults(std::move(reply)), delay);
        else
            scheduler_.schedule(std::move(reply.message), 0);
    }
}

void InstrumentEmulator::sendNow(const Bytes& message) {
    const MIDIEndpointRef source = source_.load();
    if (!source) return;
    {
        std::lock_guard lock(mutex_);
        sent_.push_back(message);
    }
    server_.sendFromSource(source, message);
}

// Receiving -----------------------------------------------------------------------------------

void InstrumentEmulator::onPacket(const ExternalPacket& packet) {
    {
        std::lock_guard lock(mutex_);
        for (const auto& message : assembler_.feed(packet.data))
            dispatch(handle(message), true);
    }
    scheduler_.pump();
}

std::vector<InstrumentEmulator::Reply> InstrumentEmulator::handle(const Bytes& m) {
    received_.push_back(m);
    if (m.size() < 3) return {};
    if (m[1] == 0x7E) {
        takeBulkDump(m);
        return {};
    }
    const bool withID = m[1] == 0x00;
    if (withID && (m.size() < 6 || m[2] != kManufacturerID[1] || m[3] != kManufacturerID[2])) return {};
    if (withID ? framing_ == Framing::plain : framing_ == Framing::manufacturerID) return {};
    const std::size_t header = withID ? 4 : 1;
    const auto body = std::span(m).subspan(header, m.size() - 1 - header);
    if (body.size() < 2) return {};
    if (body[0] == 0x7F) {
        lastRequestWithID_ = withID;
        takeRealTimeTuning(body);
        return {};
    }
    if (body[0] != model_.code) return {};
    lastRequestWithID_ = withID;
    const std::uint8_t command = body[1];
    const bool answering = !faults_.silent && !faults_.silentCommands.contains(command);
    const auto payload = body.subspan(2);
    if (command == 0x01) {
        auto replies = handleFirmwareBlock(payload);
        return answering ? replies : std::vector<Reply>{};
    }
    auto replies = handleCommand(command, payload);
    return answering ? replies : std::vector<Reply>{};
}

std::vector<InstrumentEmulator::Reply> InstrumentEmulator::handleCommand(std::uint8_t command,
                                                                         std::span<const std::uint8_t> p) {
    switch (command) {
    case 0x15:
        if (p.empty()) {
            const std::uint8_t version[] = {state_.version.major, state_.version.minor, state_.version.patch};
            std::vector<Reply> replies{framed(0x15, version)};
            if (config_.keyAfterVersion) replies.push_back(keyReport(*config_.keyAfterVersion));
            return replies;
        }
        break;
    case 0x13: // program request: answered by 00, bank, program, record
        if (p.size() == 2 && p[0] < model_.bankCount && p[1] < InstrumentModel::programsPerBank) {
            const auto& record = programRecord(p[0], p[1]);
            Bytes payload{p[0], p[1]};
            for (auto byte : record) {
                if (model_.splitsBytes()) {
                    payload.push_back(static_cast<std::uint8_t>(byte >> 7));
                    payload.push_back(static_cast<std::uint8_t>(byte & 0x7F));
                } else {
                    payload.push_back(byte);
                }
            }
            return {framed(0x00, payload)};
        }
        break;
    case 0x00:
    case 0x17: // program upload, 17 on the Toskar, 00 elsewhere
        if (command == model_.bankUploadCommand && p.size() == 2 + model_.programWireSize() &&
            p[0] < model_.bankCount && p[1] < InstrumentModel::programsPerBank) {
            auto& record = programRecord(p[0], p[1]);
            const auto data = p.subspan(2);
            for (std::size_t i = 0; i < record.size(); ++i)
                record[i] =
                    model_.splitsBytes()
                        ? static_cast<std::uint8_t>(((data[2 * i] << 7) | (data[2 * i + 1] & 0x7F)) & 0xFF)
                        : data[i];
        }
        break;
    case 0x24: // layer upload
        if (model_.hasLayers && p.size() == 2 + InstrumentModel::layerSize) {
            const int index = p[0] * 128 + p[1];
            if (p[0] < 0x80 && p[1] < 0x80 && index < InstrumentModel::layerCount &&
                static_cast<std::size_t>(index) < state_.layers.size())
                state_.layers[static_cast<std::size_t>(index)].assign(p.begin() + 2, p.end());
        }
        break;
    case 0x25: // layer request: answered by 24, index, record
        if (model_.hasLayers && p.size() == 2 && p[0] < 0x80 && p[1] < 0x80) {
            const int index = p[0] * 128 + p[1];
            if (index < InstrumentModel::layerCount &&
                static_cast<std::size_t>(index) < state_.layers.size()) {
                Bytes payload{p[0], p[1]};
                const auto& layer = state_.layers[static_cast<std::size_t>(index)];
                payload.insert(payload.end(), layer.begin(), layer.end());
                return {framed(0x24, payload)};
            }
        }
        break;
    case 0x11:
        if (p.size() == state_.programName.size()) std::copy(p.begin(), p.end(), state_.programName.begin());
        break;
    case 0x14: // the state after a 16 goes out as the microtuning report
        if (p.empty()) {
            const std::uint8_t report[] = {kMicrotuningParameter, state_.microtuning};
            return {framed(0x06, report)};
        }
        break;
    case 0x06:
        if (p.size() == 2) {
            state_.parameters[p[0]] = p[1];
            if (p[0] == kMicrotuningParameter) state_.microtuning = p[1];
        }
        break;
    case 0x21:
        if (p.empty()) ++state_.applyCount;
        break;
    case 0x30:
        if (p.empty()) {
            const std::uint8_t report[] = {state_.microtuning};
            return {framed(0x30, report)};
        }
        break;
    case 0x32:
        if (p.size() == 1 && p[0] < state_.slots.size() && !faults_.silentSlots.contains(p[0]))
            return {Reply{bulkDump(state_.slots[p[0]]), false}};
        break;
    case 0x33:
        if (p.size() == 1 && p[0] < state_.slots.size() && !faults_.silentSlots.contains(p[0])) {
            Bytes payload{p[0]};
            const auto name = nameField(state_.slots[p[0]].name);
            payload.insert(payload.end(), name.begin(), name.end());
            return {framed(0x33, payload)};
        }
        break;
    case 0x35:
        if (p.size() == 1) state_.noteSwitch = p[0];
        break;
    default:
        break;
    }
    return {};
}

InstrumentState::Record& InstrumentEmulator::programRecord(std::uint8_t bank, std::uint8_t program) {
    auto& records = state_.banks[bank];
    while (records.size() <= program)
        records.push_back(InstrumentState::factoryProgram(model_, bank, static_cast<int>(records.size())));
    records[program].resize(model_.programSize);
    return records[program];
}

bool InstrumentEmulator::acknowledges() const {
    if (config_.acknowledgeBlocks) return *config_.acknowledgeBlocks;
    const auto& v = state_.version;
    return model_.code == 2 && (v.minor > 0 || v.patch > 5 || v.major >= 2);
}

std::vector<InstrumentEmulator::Reply>
InstrumentEmulator::handleFirmwareBlock(std::span<const std::uint8_t> p) {
    const bool acknowledging = acknowledges();
    const auto nak = [&]() -> std::vector<Reply> {
        if (!acknowledging) return {};
        return {framed(0x26, {})};
    };
    // Block number and count as two 7-bit bytes each, a constant 01, then the data in halves.
    if (p.size() < 5 + 2 || (p.size() - 5) % 2 != 0 || (p.size() - 5) / 2 > kFirmwareBlockSize) return nak();
    if (p[0] > 0x7F || p[1] > 0x7F || p[2] > 0x7F || p[3] > 0x7F || p[4] != 0x01) return nak();
    FirmwareBlock block{p[0] * 128 + p[1], p[2] * 128 + p[3], {}};
    if (block.number < 1 || block.count < 1 || block.number > block.count) return nak();
    const auto halves = p.subspan(5);
    for (std::size_t i = 0; i < halves.size(); i += 2) {
        if (halves[i] > 1 || halves[i + 1] > 0x7F) return nak();
        block.data.push_back(static_cast<std::uint8_t>((halves[i] << 7) | halves[i + 1]));
    }
    const bool ready =
        block.number == 1 && config_.readyAfterFirstBlock.value_or(model_.code == 2 || model_.code == 3);
    if (!ready && faults_.naks > 0) {
        --faults_.naks;
        return {framed(0x26, {})};
    }
    state_.firmwareBlocks.push_back(std::move(block));
    if (ready) return {framed(0x05, {})};
    if (acknowledging) return {framed(0x25, {})};
    return {};
}

void InstrumentEmulator::takeRealTimeTuning(std::span<const std::uint8_t> body) {
    // 7F, device, 08, 02, tuning program, change count, then key, semitone, fraction high and low.
    if (body.size() < 6 || (body[1] != model_.code && body[1] != 0x7F) || body[2] != 0x08 || body[3] != 0x02)
        return;
    const std::size_t count = body[5];
    if (body.size() != 6 + 4 * count) return;
    for (std::size_t i = 0; i < count; ++i) {
        const auto change = body.subspan(6 + 4 * i, 4);
        if (change[0] > 0x7F || change[1] > 0x7F || change[2] > 0x7F || change[3] > 0x7F) continue;
        if (change[1] == 0x7F && change[2] == 0x7F && change[3] == 0x7F) continue; // no change
        state_.liveTuning.keys[change[0]] = {change[1],
                                             static_cast<std::uint16_t>((change[2] << 7) | change[3])};
    }
}

void InstrumentEmulator::takeBulkDump(const Bytes& m) {
    if (m.size() != kBulkDumpLength || m[3] != 0x08 || m[4] != 0x01) return;
    std::uint8_t checksum = 0;
    for (std::size_t i = 1; i < 406; ++i)
        checksum ^= m[i];
    if (checksum != m[406]) {
        ++state_.rejectedDumps;
        return;
    }
    std::string name;
    for (std::size_t i = 6; i < 22 && m[i] != 0; ++i)
        name += static_cast<char>(m[i]);
    state_.liveTuningName = name;
    // A table just taken is one to hear: the instrument switches microtuning on by itself.
    state_.microtuning = 1;
    state_.parameters[kMicrotuningParameter] = 1;
    for (std::size_t key = 0; key < 128; ++key) {
        const std::size_t at = 22 + 3 * key;
        state_.liveTuning.keys[key] = {
            m[at], static_cast<std::uint16_t>(((m[at + 1] & 0x7F) << 7) | (m[at + 2] & 0x7F))};
    }
}

} // namespace emulation
