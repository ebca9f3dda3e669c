#include "sonabel/midi/UMPMessageProcessor.h"

#include "sonabel/internals/error_handling/Log.h"
#include "sonabel/midi/UMPMessageType.h"

#include <algorithm>

namespace sonabel {

namespace {
constexpr MIDIByte byteOf(std::uint32_t word, int index) {
    return static_cast<MIDIByte>(word >> (24 - 8 * index));
}

const char* unsupportedMessage(std::size_t wordCount) {
    switch (wordCount) {
    case 1:
        return "Got unsupported 32 bit UMP message of type: ";
    case 2:
        return "Got unsupported 64 bit UMP message of type: ";
    case 3:
        return "Got unsupported 96 bit UMP message of type: ";
    default:
        return "Got unsupported 128 bit UMP message of type ";
    }
}
} // namespace

std::vector<MIDIEvent> UMPMessageProcessor::processUMPMessages(const MIDIEventPacketView& packet,
                                                               MIDIUniqueID source) {
    std::vector<MIDIEvent> events;
    const std::size_t count = packet.wordCount();
    std::size_t i = 0;
    while (i < count) {
        const std::uint32_t word = packet.word(i);
        const MIDIByte b0 = byteOf(word, 0);
        const UMPMessageType type(static_cast<UMPMessageType::Case>(b0 >> 4));
        switch (type) {
        case UMPMessageType::Utility32bit:
        case UMPMessageType::SystemRealTimeAndCommon32bit:
        case UMPMessageType::MIDI1ChannelVoice32bit:
            events.emplace_back(std::vector<MIDIByte>{byteOf(word, 1), byteOf(word, 2), byteOf(word, 3)},
                                packet.timeStamp);
            break;
        case UMPMessageType::DataAndSysEx64bit: {
            if (i + 1 >= count) break; // its second word is not in the packet
            const std::uint32_t second = packet.word(i + 1);
            const MIDIByte record[7] = {byteOf(word, 1),   byteOf(word, 2),   byteOf(word, 3),
                                        byteOf(second, 0), byteOf(second, 1), byteOf(second, 2),
                                        byteOf(second, 3)};
            events.emplace_back(processUMPSysExMessage(record, source, lowNibble(b0)), packet.timeStamp);
            break;
        }
        default:
            Log({"processUMPMessages(_:)", OSLog::midi}, unsupportedMessage(type.wordCount()),
                "Optional(Sonabel.MIDI.UMPMessageType." + type.caseName() + ")");
            break;
        }
        i += type.wordCount();
    }
    return events;
}

std::vector<MIDIByte> UMPMessageProcessor::processUMPSysExMessage(std::span<const MIDIByte> record,
                                                                  MIDIUniqueID source, std::uint8_t group) {
    if (record.empty()) return {};
    const MIDIByte status = highNibble(record[0]);
    const std::size_t valid = std::min<std::size_t>({lowNibble(record[0]), 6, record.size() - 1});
    const auto payload = record.subspan(1, valid);
    const auto key = std::make_pair(source, group);

    std::lock_guard lock(mutex_);
    switch (status) {
    case 0: {
        Log({"processUMPSysExMessage(with:)", OSLog::midi},
            "UMP SYSEX - Got complete SysEx message in one UMP packet");
        pending_.erase(key);
        std::vector<MIDIByte> message{0xF0};
        message.insert(message.end(), payload.begin(), payload.end());
        message.push_back(0xF7);
        return message;
    }
    case 1: {
        Log({"processUMPSysExMessage(with:)", OSLog::midi}, "UMP SYSEX - Start receiving UMP SysEx messages");
        auto& message = pending_[key];
        message.assign({0xF0});
        message.insert(message.end(), payload.begin(), payload.end());
        return {};
    }
    case 2: {
        Log({"processUMPSysExMessage(with:)", OSLog::midi},
            "UMP SYSEX - Continue receiving UMP SysEx messages");
        const auto found = pending_.find(key);
        if (found != pending_.end())
            found->second.insert(found->second.end(), payload.begin(), payload.end());
        return {};
    }
    case 3: {
        Log({"processUMPSysExMessage(with:)", OSLog::midi}, "UMP SYSEX - End of UMP SysEx messages");
        const auto found = pending_.find(key);
        if (found == pending_.end()) return {};
        std::vector<MIDIByte> message = std::move(found->second);
        pending_.erase(found);
        message.insert(message.end(), payload.begin(), payload.end());
        message.push_back(0xF7);
        return message;
    }
    default:
        Log({"processUMPSysExMessage(with:)", OSLog::midi}, "UMP SYSEX - Got unsupported UMPSysEx7bitStatus");
        return {payload.begin(), payload.end()};
    }
}

void UMPMessageProcessor::dropPendingSysEx(MIDIUniqueID source) {
    std::lock_guard lock(mutex_);
    std::erase_if(pending_, [source](const auto& entry) { return entry.first.first == source; });
}

} // namespace sonabel
