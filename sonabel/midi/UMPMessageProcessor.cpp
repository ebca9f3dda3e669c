#include "sonabel/midi/UMPMessageProcessor.h"

#include "sonabel/internals/error_handling/Log.h"
#include "sonabel/midi/UMPMessageType.h"

#include <algorithm>
#include <iterator>

namespace sonabel {

namespace {
// Enough for a full packet of one-word messages; more grows as usual.
constexpr std::size_t kReservedEvents = 64;
// A buffer kept between messages grows no larger than this.
constexpr std::size_t kSpareCapacity = 65536;

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
    struct Events final : Sink {
        std::vector<MIDIEvent> events;
        void oneWord(std::span<const MIDIByte, 3> bytes, MIDITimeStamp timeStamp) override {
            events.emplace_back(std::vector<MIDIByte>(bytes.begin(), bytes.end()), timeStamp);
        }
        void sysEx(std::vector<MIDIByte>&& bytes, MIDITimeStamp timeStamp) override {
            events.emplace_back(std::move(bytes), timeStamp);
        }
    } sink;
    sink.events.reserve(std::min<std::size_t>(packet.wordCount(), kReservedEvents));
    processUMPMessages(packet, source, sink);
    return std::move(sink.events);
}

void UMPMessageProcessor::processUMPMessages(const MIDIEventPacketView& packet, MIDIUniqueID source,
                                             Sink& sink) {
    const std::size_t count = packet.wordCount();
    // Taken once for the packet's SysEx pieces rather than once per piece.
    std::unique_lock lock(mutex_, std::defer_lock);
    std::size_t i = 0;
    while (i < count) {
        const std::uint32_t word = packet.word(i);
        const MIDIByte b0 = byteOf(word, 0);
        const UMPMessageType type(static_cast<UMPMessageType::Case>(b0 >> 4));
        switch (type) {
        case UMPMessageType::Utility32bit:
        case UMPMessageType::SystemRealTimeAndCommon32bit:
        case UMPMessageType::MIDI1ChannelVoice32bit: {
            const MIDIByte bytes[3] = {byteOf(word, 1), byteOf(word, 2), byteOf(word, 3)};
            sink.oneWord(bytes, packet.timeStamp);
            ++i; // the common sizes without the size table
            continue;
        }
        case UMPMessageType::DataAndSysEx64bit: {
            if (i + 1 >= count) break; // its second word is not in the packet
            const std::uint32_t second = packet.word(i + 1);
            const MIDIByte record[7] = {byteOf(word, 1),   byteOf(word, 2),   byteOf(word, 3),
                                        byteOf(second, 0), byteOf(second, 1), byteOf(second, 2),
                                        byteOf(second, 3)};
            if (!lock.owns_lock()) lock.lock();
            sink.sysEx(sysExPiece(record, source, lowNibble(b0)), packet.timeStamp);
            i += 2;
            continue;
        }
        default:
            Log({"processUMPMessages(_:)", OSLog::midi}, unsupportedMessage(type.wordCount()),
                "Optional(Sonabel.MIDI.UMPMessageType." + type.caseName() + ")");
            break;
        }
        i += type.wordCount();
    }
}

std::vector<MIDIByte> UMPMessageProcessor::processUMPSysExMessage(std::span<const MIDIByte> record,
                                                                  MIDIUniqueID source, std::uint8_t group) {
    if (record.empty()) return {};
    std::lock_guard lock(mutex_);
    return sysExPiece(record, source, group);
}

std::vector<UMPMessageProcessor::Pending>::iterator UMPMessageProcessor::findPending(MIDIUniqueID source,
                                                                                     std::uint8_t group) {
    return std::find_if(pending_.begin(), pending_.end(), [source, group](const Pending& entry) {
        return entry.source == source && entry.group == group;
    });
}

std::vector<MIDIByte> UMPMessageProcessor::sysExPiece(std::span<const MIDIByte> record, MIDIUniqueID source,
                                                      std::uint8_t group) {
    if (record.empty()) return {};
    const MIDIByte status = highNibble(record[0]);
    const std::size_t valid = std::min<std::size_t>({lowNibble(record[0]), 6, record.size() - 1});
    const auto payload = record.subspan(1, valid);

    switch (status) {
    case 0: {
        Log({"processUMPSysExMessage(with:)", OSLog::midi},
            "UMP SYSEX - Got complete SysEx message in one UMP packet");
        if (const auto found = findPending(source, group); found != pending_.end()) dropEntry(found);
        std::vector<MIDIByte> message{0xF0};
        message.insert(message.end(), payload.begin(), payload.end());
        message.push_back(0xF7);
        return message;
    }
    case 1: {
        Log({"processUMPSysExMessage(with:)", OSLog::midi}, "UMP SYSEX - Start receiving UMP SysEx messages");
        auto found = findPending(source, group);
        if (found == pending_.end()) {
            pending_.push_back({source, group, std::move(spare_)});
            spare_ = {};
            found = std::prev(pending_.end());
        }
        auto& message = found->message;
        message.assign({0xF0});
        message.insert(message.end(), payload.begin(), payload.end());
        return {};
    }
    case 2: {
        Log({"processUMPSysExMessage(with:)", OSLog::midi},
            "UMP SYSEX - Continue receiving UMP SysEx messages");
        const auto found = findPending(source, group);
        if (found != pending_.end())
            found->message.insert(found->message.end(), payload.begin(), payload.end());
        return {};
    }
    case 3: {
        Log({"processUMPSysExMessage(with:)", OSLog::midi}, "UMP SYSEX - End of UMP SysEx messages");
        const auto found = findPending(source, group);
        if (found == pending_.end()) return {};
        // Copied out at its exact size, so the grown buffer can serve the next message.
        const auto& pending = found->message;
        std::vector<MIDIByte> message;
        message.reserve(pending.size() + payload.size() + 1);
        message.assign(pending.begin(), pending.end());
        message.insert(message.end(), payload.begin(), payload.end());
        message.push_back(0xF7);
        if (pending.capacity() <= kSpareCapacity) spare_ = std::move(found->message);
        dropEntry(found);
        return message;
    }
    default:
        Log({"processUMPSysExMessage(with:)", OSLog::midi}, "UMP SYSEX - Got unsupported UMPSysEx7bitStatus");
        return {payload.begin(), payload.end()};
    }
}

void UMPMessageProcessor::dropEntry(std::vector<Pending>::iterator entry) {
    if (entry != std::prev(pending_.end())) *entry = std::move(pending_.back());
    pending_.pop_back();
}

void UMPMessageProcessor::dropPendingSysEx(MIDIUniqueID source) {
    std::lock_guard lock(mutex_);
    std::erase_if(pending_, [source](const Pending& entry) { return entry.source == source; });
}

} // namespace sonabel
