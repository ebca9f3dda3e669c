#include "sonabel/midi/MIDIPacketIterator.h"

#include "platform/midi/MIDIByteReader.h"

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
    if (index_ >= bytes.size() && wovenEnd_ == 0) return std::nullopt;
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

    using Reader = platform::midi::MIDIByteReader;
    using Kind = Reader::Step::Kind;
    while (true) {
        // A message with real-time bytes among its own: they come first, one a call, then it,
        // unless it was cut short.
        if (wovenEnd_ > 0) {
            while (index_ < wovenEnd_ &&
                   (!Reader::isRealTime(bytes[index_]) || Reader::isUndefinedRealTime(bytes[index_])))
                ++index_;
            if (index_ < wovenEnd_) return Message{bytes.subspan(index_++, 1), timeStamp};
            const auto woven = bytes.subspan(wovenFrom_, wovenEnd_ - wovenFrom_);
            wovenEnd_ = 0;
            if (wovenWhole_) {
                std::size_t n = 0;
                Reader::unweave(
                    woven, [](MIDIByte) {}, [&](MIDIByte byte) { held_[n++] = byte; });
                return Message{std::span<const MIDIByte>(held_.data(), n), std::nullopt};
            }
        }
        if (index_ >= bytes.size()) return std::nullopt;
        const std::span<const MIDIByte> rest = bytes.subspan(index_);
        const auto step = Reader::next(bytes, index_);
        switch (step.kind) {
        case Kind::sysExStart:
            if (const auto taken = assembler_->startSysEx(rest, timeStamp)) {
                index_ += *taken;
                return Message{rest.first(*taken), timeStamp};
            }
            index_ = bytes.size();
            return Message{{}, timeStamp};
        case Kind::strayEnd:
            ++index_;
            return Message{{}, timeStamp};
        case Kind::ignored:
            ++index_;
            continue;
        case Kind::end:
            index_ = bytes.size();
            return std::nullopt;
        case Kind::cut:
        case Kind::message:
            break;
        }
        // A message cut short by a status byte is dropped; that byte begins the next one.
        if (step.realTime > 0 || step.ignored > 0 || step.kind == Kind::cut) {
            wovenFrom_ = index_;
            wovenEnd_ = index_ + step.length;
            wovenWhole_ = step.kind == Kind::message;
            continue;
        }
        index_ += step.length;
        // One-byte messages are the stamped ones: tune request and real-time.
        return Message{rest.first(step.length), step.length == 1 ? std::optional(timeStamp) : std::nullopt};
    }
}

std::vector<MIDIEvent> packetEvents(const MIDIPacketView& packet, SysExAssembler& assembler) {
    std::vector<MIDIEvent> events;
    MIDIPacketIterator iterator(packet, assembler);
    while (auto event = iterator.next())
        events.push_back(std::move(*event));
    return events;
}

} // namespace sonabel
