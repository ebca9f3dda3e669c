#include "platform/sequence/StandardMIDIFileWalker.h"

#include <algorithm>
#include <limits>

namespace platform::sequence {

namespace {
constexpr std::uint64_t kMaxTicks = std::numeric_limits<std::int64_t>::max();

bool isChannelStatus(std::uint8_t byte) {
    return byte >= 0x80 && byte < 0xF0;
}

// Data bytes after a channel status: program change and channel pressure have one.
std::size_t dataCount(std::uint8_t status) {
    const int kind = status & 0xF0;
    return kind == 0xC0 || kind == 0xD0 ? 1 : 2;
}
} // namespace

StandardMIDIFileWalker::Quantity StandardMIDIFileWalker::quantity(std::span<const std::uint8_t> bytes) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        value = (value << 7) | (bytes[i] & 0x7Fu);
        if (!(bytes[i] & 0x80)) return {i + 1, value, true};
    }
    return {bytes.size(), value, false};
}

std::optional<StandardMIDIFileWalker::Chunk>
StandardMIDIFileWalker::chunk(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 8) return std::nullopt;
    const std::uint32_t length = (std::uint32_t{bytes[4]} << 24) | (std::uint32_t{bytes[5]} << 16) |
                                 (std::uint32_t{bytes[6]} << 8) | bytes[7];
    const auto rest = bytes.subspan(8);
    return Chunk{bytes.first(4), length, rest.first(std::min<std::size_t>(length, rest.size()))};
}

bool StandardMIDIFileWalker::Event::isWellFormed() const {
    switch (kind) {
    case EventKind::meta:
    case EventKind::sysEx:
    case EventKind::escape:
        return delta.isStrict() && length.isStrict() && whole;
    case EventKind::channel:
        return delta.isStrict() && whole;
    default:
        return false;
    }
}

bool StandardMIDIFileWalker::next(Event& event) {
    if (position_ >= body_.size()) return false;
    event = Event{};
    event.offset = position_;
    event.delta = quantity(body_.subspan(position_));
    event.timeOffset = ticks_;
    const std::size_t lead = position_ + event.delta.size;
    if (lead >= body_.size()) {
        position_ = body_.size();
        event.bytes = body_.subspan(event.offset);
        return true;
    }

    const auto rest = body_.subspan(lead);
    const std::uint8_t first = rest[0];
    std::size_t size = 0;
    // A sized event: lead bytes, a length quantity, that many bytes (fewer when the body ends).
    const auto sized = [&](EventKind kind, std::size_t leadBytes) {
        event.kind = kind;
        event.status = first;
        event.length = quantity(rest.subspan(leadBytes));
        const std::size_t start = leadBytes + event.length.size;
        const std::size_t available = rest.size() - start;
        event.data = rest.subspan(start, std::min<std::uint64_t>(event.length.value, available));
        event.whole = event.data.size() == event.length.value;
        size = start + event.data.size();
        runningStatus_.reset();
    };
    // Any meta type, known or not, is one whole meta event; meta, SysEx and escape events end
    // running status.
    if (first == 0xFF && rest.size() >= 3) {
        event.metaType = rest[1];
        sized(EventKind::meta, 2);
    } else if (first == 0xF0 && rest.size() >= 3) {
        sized(EventKind::sysEx, 1);
    } else if (first == 0xF7 && rest.size() >= 2) {
        sized(EventKind::escape, 1);
    } else if (isChannelStatus(first) || runningStatus_) {
        const bool explicitStatus = isChannelStatus(first);
        if (explicitStatus) runningStatus_ = first;
        event.kind = EventKind::channel;
        event.status = *runningStatus_;
        event.runningStatus = !explicitStatus;
        const std::size_t start = explicitStatus ? 1 : 0;
        const std::size_t wanted = dataCount(event.status);
        event.data = rest.subspan(start, std::min(wanted, rest.size() - start));
        event.whole = event.data.size() == wanted;
        size = start + event.data.size();
    } else {
        event.kind = EventKind::unreadable;
        event.status = first;
        position_ = body_.size();
        event.bytes = body_.subspan(event.offset, lead - event.offset);
        return true;
    }
    position_ = lead + size;
    event.bytes = body_.subspan(event.offset, position_ - event.offset);
    ticks_ = ticks_ > kMaxTicks - event.delta.value ? kMaxTicks : ticks_ + event.delta.value;
    return true;
}

} // namespace platform::sequence
