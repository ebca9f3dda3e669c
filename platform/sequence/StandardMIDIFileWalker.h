#pragma once
// The one reading of a Standard MIDI File's structure: chunks, variable-length quantities and the
// events of a track chunk's body. It judges nothing: every piece says where it runs short or
// breaks the format's limits, and each reader decides what damage costs it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>

namespace platform::sequence {

class StandardMIDIFileWalker {
public:
    struct Quantity {
        // Bytes spanned: up to the first with its top bit clear, or to the end of the input.
        std::size_t size = 0;
        // The low 32 bits of the value.
        std::uint32_t value = 0;
        // The last byte spanned has its top bit clear.
        bool ended = false;

        // Within the format's limit of four bytes.
        bool isStrict() const { return ended && size <= 4; }
    };
    // The quantity at the start of the bytes; no bytes give size 0, value 0.
    static Quantity quantity(std::span<const std::uint8_t> bytes);

    struct Chunk {
        std::span<const std::uint8_t> type; // four bytes
        std::uint32_t length = 0;           // the big-endian length as written
        std::span<const std::uint8_t> body; // as much of it as the input holds

        bool isWhole() const { return body.size() == length; }
        // Head and body as far as the input holds them.
        std::size_t size() const { return 8 + body.size(); }
    };
    // The chunk at the start of the bytes; none when they cannot hold its 8-byte head.
    static std::optional<Chunk> chunk(std::span<const std::uint8_t> bytes);

    enum class EventKind {
        meta,       // FF, a type and a sized payload
        sysEx,      // F0 and a sized payload
        escape,     // F7 and a sized payload
        channel,    // a channel status and its data bytes, or data bytes under running status
        unreadable, // a byte that cannot start an event, with no running status: the walk ends
        missing,    // a delta time that reaches the end of the body: the walk ends
    };

    struct Event {
        EventKind kind = EventKind::missing;
        // Where the event starts in the body (its delta time).
        std::size_t offset = 0;
        // The delta time and the event's own bytes, as many as the body holds.
        std::span<const std::uint8_t> bytes;
        Quantity delta;
        // Ticks of all earlier events (saturating far beyond any real file).
        std::uint64_t timeOffset = 0;
        // FF, F0, F7 or the channel status with running status resolved; the byte itself when
        // unreadable.
        std::uint8_t status = 0;
        // A channel event written without its status.
        bool runningStatus = false;
        std::uint8_t metaType = 0;
        // The length of a meta, SysEx or escape event.
        Quantity length;
        // The payload of a sized event or the data bytes of a channel event, as many as the body
        // holds; data bytes are as written, their top bit not cleared.
        std::span<const std::uint8_t> data;
        // Every byte the event declares is in the body.
        bool whole = false;

        std::span<const std::uint8_t> eventData() const { return bytes.subspan(delta.size); }
        // Complete and within the format's limits.
        bool isWellFormed() const;
    };

    explicit StandardMIDIFileWalker(std::span<const std::uint8_t> body) : body_(body) {}

    // Reads the event at the walk's place into event() and moves past it; false at the end of the
    // body. After an unreadable or missing event the walk is at the end.
    bool next();
    const Event& event() const { return event_; }

private:
    // Far beyond any real file; keeps the sum within a signed 64-bit count.
    static constexpr std::uint64_t kMaxTicks = std::numeric_limits<std::int64_t>::max();

    static bool isChannelStatus(std::uint8_t byte);
    static std::size_t dataCount(std::uint8_t status);

    Event event_;
    std::span<const std::uint8_t> body_;
    std::size_t position_ = 0;
    std::uint8_t runningStatus_ = 0; // none while 0: a status is 80 or more
    std::uint64_t ticks_ = 0;
};

// The walk is inlined into the readers' loops: it runs once for every event of every file read.
inline bool StandardMIDIFileWalker::isChannelStatus(std::uint8_t byte) {
    return byte >= 0x80 && byte < 0xF0;
}

// Data bytes after a channel status: program change and channel pressure have one.
inline std::size_t StandardMIDIFileWalker::dataCount(std::uint8_t status) {
    const int kind = status & 0xF0;
    return kind == 0xC0 || kind == 0xD0 ? 1 : 2;
}

inline StandardMIDIFileWalker::Quantity
StandardMIDIFileWalker::quantity(std::span<const std::uint8_t> bytes) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        value = (value << 7) | (bytes[i] & 0x7Fu);
        if (!(bytes[i] & 0x80)) return {i + 1, value, true};
    }
    return {bytes.size(), value, false};
}

inline bool StandardMIDIFileWalker::next() {
    if (position_ >= body_.size()) return false;
    // Each path sets every field: clearing the whole event first costs more than the walk itself.
    Event& event = event_;
    event.offset = position_;
    event.delta = quantity(body_.subspan(position_));
    event.timeOffset = ticks_;
    event.runningStatus = false;
    const std::size_t lead = position_ + event.delta.size;
    const auto nothing = [&](EventKind kind, std::uint8_t status) {
        event.kind = kind;
        event.status = status;
        event.metaType = 0;
        event.length = {};
        event.data = {};
        event.whole = false;
    };
    if (lead >= body_.size()) {
        nothing(EventKind::missing, 0);
        event.bytes = body_.subspan(event.offset);
        position_ = body_.size();
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
        runningStatus_ = 0;
    };
    // Any meta type, known or not, is one whole meta event; meta, SysEx and escape events end
    // running status.
    if (first == 0xFF && rest.size() >= 3) {
        event.metaType = rest[1];
        sized(EventKind::meta, 2);
    } else if (first == 0xF0 && rest.size() >= 3) {
        event.metaType = 0;
        sized(EventKind::sysEx, 1);
    } else if (first == 0xF7 && rest.size() >= 2) {
        event.metaType = 0;
        sized(EventKind::escape, 1);
    } else if (isChannelStatus(first) || runningStatus_ != 0) {
        const bool explicitStatus = isChannelStatus(first);
        if (explicitStatus) runningStatus_ = first;
        event.kind = EventKind::channel;
        event.status = runningStatus_;
        event.runningStatus = !explicitStatus;
        event.metaType = 0;
        event.length = {};
        const std::size_t start = explicitStatus ? 1 : 0;
        const std::size_t wanted = dataCount(event.status);
        event.data = rest.subspan(start, std::min(wanted, rest.size() - start));
        event.whole = event.data.size() == wanted;
        size = start + event.data.size();
    } else {
        nothing(EventKind::unreadable, first);
        event.bytes = body_.subspan(event.offset, lead - event.offset);
        position_ = body_.size();
        return true;
    }
    position_ = lead + size;
    event.bytes = body_.subspan(event.offset, position_ - event.offset);
    ticks_ = ticks_ > kMaxTicks - event.delta.value ? kMaxTicks : ticks_ + event.delta.value;
    return true;
}

} // namespace platform::sequence
