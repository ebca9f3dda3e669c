#include "sonabel/midi/MIDIEvent.h"

#include "platform/core/ValueText.h"
#include "platform/midi/MIDIByteReader.h"
#include "sonabel/internals/error_handling/Log.h"
#include "sonabel/midi/MIDICustomMetaEvent.h"
#include "sonabel/midi/MIDICustomMetaEventType.h"
#include "sonabel/midi/MIDIPacketListIterator.h"
#include "sonabel/midi/SysExAssembler.h"
#include "sonabel/midi/midifile/MIDIFileChunkEvent.h"

#include <algorithm>

namespace sonabel {

MIDIEvent::MIDIEvent(std::vector<MIDIByte> bytes, std::optional<MIDITimeStamp> timeStamp)
    : timeStamp(timeStamp) {
    if (bytes.empty()) return;
    const MIDIByte first = bytes[0];
    if (first >= 0xF0 && MIDISystemCommand::make(first)) {
        data = std::move(bytes);
    } else if (first >= 0x80 && first < 0xF0) {
        for (std::size_t i = 1; i < bytes.size(); ++i)
            bytes[i] &= 0x7F;
        data = std::move(bytes);
    } else if (const auto metaType = MIDICustomMetaEventType::make(first)) {
        Log({"init(data:timeStamp:)", OSLog::midi}, "is meta event " + metaType->description());
    }
}

namespace {
std::vector<MIDIByte> toVector(std::span<const MIDIByte> bytes) {
    return {bytes.begin(), bytes.end()};
}
} // namespace

MIDIEvent::MIDIEvent(const MIDIPacketView& packet, SysExAssembler& assembler) : timeStamp(packet.timeStamp) {
    using Reader = platform::midi::MIDIByteReader;
    auto bytes = packet.data;
    if (bytes.empty()) return;
    if (bytes[0] < 0x80) {
        // Not a message; classified all the same for its meta-event line.
        *this = MIDIEvent(toVector(bytes.first(std::min<std::size_t>(bytes.size(), 3))), packet.timeStamp);
        return;
    }
    // A message cut short by a status byte is none: that byte begins the first one.
    auto step = Reader::next(bytes, 0);
    while ((step.kind == Reader::Step::Kind::cut && step.realTime == 0) ||
           step.kind == Reader::Step::Kind::ignored) {
        bytes = bytes.subspan(step.length);
        step = Reader::next(bytes, 0);
    }
    if (step.kind == Reader::Step::Kind::sysExStart) {
        if (const auto taken = assembler.startSysEx(bytes, packet.timeStamp))
            data = toVector(bytes.first(*taken));
        return;
    }
    if (step.kind != Reader::Step::Kind::message && step.kind != Reader::Step::Kind::cut) return;
    // A real-time byte inside the first message came first on the wire.
    if (step.realTime > 0) {
        Reader::unweave(
            bytes.first(step.length),
            [&](std::uint8_t byte) {
                if (data.empty()) *this = MIDIEvent({byte}, packet.timeStamp);
            },
            [](std::uint8_t) {});
        return;
    }
    if (step.ignored == 0) {
        *this = MIDIEvent(toVector(bytes.first(step.length)), packet.timeStamp);
        return;
    }
    std::vector<MIDIByte> message;
    Reader::unweave(
        bytes.first(step.length), [](std::uint8_t) {}, [&](std::uint8_t byte) { message.push_back(byte); });
    *this = MIDIEvent(std::move(message), packet.timeStamp);
}

MIDIEvent MIDIEvent::initNoteOn(MIDINoteNumber noteNumber, MIDIVelocity velocity, MIDIChannel channel) {
    return MIDIEvent({static_cast<MIDIByte>(0x90 | lowNibble(channel)), noteNumber, velocity});
}

MIDIEvent MIDIEvent::initNoteOff(MIDINoteNumber noteNumber, MIDIVelocity velocity, MIDIChannel channel) {
    return MIDIEvent({static_cast<MIDIByte>(0x80 | lowNibble(channel)), noteNumber, velocity});
}

MIDIEvent MIDIEvent::initControllerChange(MIDIByte controller, MIDIByte value, MIDIChannel channel) {
    return MIDIEvent({static_cast<MIDIByte>(0xB0 | lowNibble(channel)), controller, value});
}

MIDIEvent MIDIEvent::initProgramChange(MIDIByte program, MIDIChannel channel) {
    return MIDIEvent({static_cast<MIDIByte>(0xC0 | lowNibble(channel)), program});
}

MIDIEvent MIDIEvent::initCommand(MIDISystemCommand command, MIDIByte byte1, std::optional<MIDIByte> byte2) {
    MIDIEvent event;
    event.data = {command.rawValue(), byte1};
    if (byte2) event.data.push_back(*byte2);
    return event;
}

std::optional<MIDIEvent> MIDIEvent::make(const MIDIFileChunkEvent& fileEvent) {
    auto message = fileEvent.computedData();
    if (message.empty() || message[0] == 0xFF) return std::nullopt;
    MIDIEvent event(std::move(message));
    if (fileEvent.timeFormat == MIDITimeFormat::ticksPerBeat)
        event.positionInBeats = fileEvent.positionInBeats();
    return event;
}

std::vector<MIDIEvent> MIDIEvent::events(std::span<const MIDIByte> blePacket) {
    std::vector<MIDIEvent> result;
    if (blePacket.size() < 3 || (blePacket[1] & 0x80) == 0) return result;
    MIDIByte runningStatus = 0;
    bool expectingTimeStamp = false;
    std::vector<MIDIByte> message;
    for (std::size_t i = 2; i < blePacket.size(); ++i) {
        const MIDIByte byte = blePacket[i];
        if (byte & 0x80) {
            if (expectingTimeStamp) {
                expectingTimeStamp = false;
                continue;
            }
            runningStatus = byte;
            message.push_back(byte);
        } else {
            if (message.empty()) message.push_back(runningStatus);
            message.push_back(byte);
        }
        if ((message.size() == 3 && runningStatus != MIDISystemCommand::sysEx) ||
            byte == MIDISystemCommand::sysExEnd) {
            result.emplace_back(std::move(message));
            message.clear();
            expectingTimeStamp = true;
        }
    }
    return result;
}

std::vector<MIDIEvent> MIDIEvent::events(const MIDIPacketList* packetList, std::size_t byteSize,
                                         SysExAssembler& assembler) {
    std::vector<MIDIEvent> result;
    MIDIPacketListIterator packets(packetList, byteSize);
    while (const auto packet = packets.next())
        result.emplace_back(*packet, assembler);
    return result;
}

std::optional<MIDIStatus> MIDIEvent::status() const {
    if (data.empty()) return std::nullopt;
    return MIDIStatus::make(data[0]);
}

std::optional<MIDISystemCommand> MIDIEvent::command() const {
    if (data.empty() || data[0] == MIDISystemCommand::sysReset) return std::nullopt;
    return MIDISystemCommand::make(data[0]);
}

std::optional<MIDIChannel> MIDIEvent::channel() const {
    if (const auto eventStatus = status()) return eventStatus->channel();
    return std::nullopt;
}

std::optional<MIDINoteNumber> MIDIEvent::noteNumber() const {
    if (data.size() < 2) return std::nullopt;
    const MIDIByte kind = highNibble(data[0]);
    if (kind != 0x8 && kind != 0x9) return std::nullopt;
    return data[1];
}

std::optional<MIDIWord> MIDIEvent::pitchbendAmount() const {
    if (data.size() < 3 || highNibble(data[0]) != 0xE) return std::nullopt;
    return static_cast<MIDIWord>(data[2] * 128 + data[1]);
}

std::vector<std::vector<MIDIByte>> MIDIEvent::chunked() const {
    constexpr std::size_t kChunk = 256;
    std::vector<std::vector<MIDIByte>> pieces;
    pieces.reserve(data.size() / kChunk + 1);
    for (std::size_t start = 0;; start += kChunk) {
        const std::size_t end = std::min(start + kChunk, data.size());
        pieces.emplace_back(data.begin() + static_cast<std::ptrdiff_t>(start),
                            data.begin() + static_cast<std::ptrdiff_t>(end));
        if (end - start < kChunk) break;
    }
    return pieces;
}

std::string MIDIEvent::description() const {
    const std::string bytes = platform::describe(data);
    if (!data.empty()) {
        const MIDIByte first = data[0];
        if (first >= 0x80 && first < 0xF0) return MIDIStatus(first).description() + " - " + bytes;
        if (const auto systemCommand = command()) return systemCommand->description() + " - " + bytes;
    }
    if (const auto metaEvent = MIDICustomMetaEvent::make(data))
        return metaEvent->description() + " - " + bytes;
    return "Unhandled event " + bytes;
}

} // namespace sonabel
