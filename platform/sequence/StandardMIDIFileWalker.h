#pragma once
// The one reading of a Standard MIDI File's structure: chunks, variable-length quantities and the
// events of a track chunk's body. It judges nothing: every piece says where it runs short or
// breaks the format's limits, and each reader decides what damage costs it.
#include <cstddef>
#include <cstdint>
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

    // The event at the walk's place, and the walk past it; false at the end of the body. After an
    // unreadable or missing event the walk is at the end.
    bool next(Event& event);

private:
    std::span<const std::uint8_t> body_;
    std::size_t position_ = 0;
    std::optional<std::uint8_t> runningStatus_;
    std::uint64_t ticks_ = 0;
};

} // namespace platform::sequence
