#include "sonabel/midi/MIDIPacketIterator.h"

namespace sonabel {

namespace {
std::vector<MIDIByte> toVector(std::span<const MIDIByte> bytes) {
    return {bytes.begin(), bytes.end()};
}
} // namespace

std::optional<MIDIEvent> MIDIPacketIterator::next() {
    const auto message = nextMessage();
    if (!message) return std::nullopt;
    return MIDIEvent(toVector(message->bytes), message->timeStamp);
}

std::optional<MIDIPacketIterator::Message> MIDIPacketIterator::nextMessage() {
    const std::span<const MIDIByte> bytes = packet_.data;
    if (index_ >= bytes.size()) return std::nullopt;
    const MIDITimeStamp timeStamp = packet_.timeStamp;

    // While a SysEx is pending every packet of the input continues it, whatever its first byte:
    // packets are cut by size, so any data byte (F0 and F8-FF included) may begin one. After a
    // silence of over a second the message is given up, and the packet is read for what it is.
    if (index_ == 0 && assembler_->isReceivingSysEx() && !assembler_->abandonIfStale(timeStamp)) {
        const auto taken = assembler_->continueSysEx(bytes, timeStamp);
        if (!taken) {
            index_ = bytes.size();
            return std::nullopt;
        }
        index_ = *taken;
        return Message{assembler_->incomingSysEx(), timeStamp};
    }

    const MIDIByte status = bytes[index_];
    const std::span<const MIDIByte> rest = bytes.subspan(index_);
    std::size_t length = 0;
    bool stamped = false;
    if (status >= 0x80 && status < 0xF0) {
        // Program change and channel pressure take one data byte, the other channel messages two.
        const MIDIByte kind = status >> 4;
        length = kind == 0xC || kind == 0xD ? 2 : 3;
    } else {
        switch (status) {
        case MIDISystemCommand::sysEx: {
            if (const auto taken = assembler_->startSysEx(rest, timeStamp)) {
                index_ += *taken;
                return Message{rest.first(*taken), timeStamp};
            }
            index_ = bytes.size();
            return Message{{}, timeStamp};
        }
        case MIDISystemCommand::sysExEnd:
            ++index_;
            return Message{{}, timeStamp};
        case MIDISystemCommand::timeCodeQuarterFrame:
        case MIDISystemCommand::songSelect:
            length = 2;
            break;
        case MIDISystemCommand::songPosition:
            length = 3;
            break;
        case MIDISystemCommand::tuneRequest:
        case MIDISystemCommand::clock:
        case MIDISystemCommand::start:
        case MIDISystemCommand::continue_:
        case MIDISystemCommand::stop:
        case MIDISystemCommand::activeSensing:
        case MIDISystemCommand::sysReset:
            length = 1;
            stamped = true;
            break;
        default:
            break;
        }
    }
    if (length == 0 || length > rest.size()) {
        index_ = bytes.size();
        return std::nullopt;
    }
    index_ += length;
    return Message{rest.first(length), stamped ? std::optional(timeStamp) : std::nullopt};
}

std::vector<MIDIEvent> packetEvents(const MIDIPacketView& packet, SysExAssembler& assembler) {
    std::vector<MIDIEvent> events;
    MIDIPacketIterator iterator(packet, assembler);
    while (auto event = iterator.next())
        events.push_back(std::move(*event));
    return events;
}

} // namespace sonabel
