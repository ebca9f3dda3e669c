#pragma once
// An "MTrk" chunk and the cutting of its body into events.
#include "platform/sequence/StandardMIDIFileWalker.h"
#include "sonabel/midi/MIDITimeFormat.h"
#include "sonabel/midi/midifile/MIDIFileChunk.h"
#include "sonabel/midi/midifile/MIDIFileChunkEvent.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace sonabel {

struct MIDIFileTrackChunk : MIDIFileChunk {
    MIDITimeFormat timeFormat = MIDITimeFormat::ticksPerBeat;
    // Ticks per beat for positions of the events.
    int timeDivision = 480;

    // None unless `data` starts with a whole, valid "MTrk" chunk. Positions are always counted at
    // 480 ticks per beat, whatever the file's header says.
    static std::optional<MIDIFileTrackChunk> make(std::span<const MIDIByte> data);

    // The body's events in file order, with running status resolved. Meta events of any type and
    // F7 events are whole events that end running status. A byte that cannot start an event is
    // logged and ends the walk; the events before it are kept.
    std::vector<MIDIFileChunkEvent> parseTrackEvents() const;

    // One event of the walk behind parseTrackEvents, its bytes left in the chunk.
    struct EventView {
        std::span<const MIDIByte> data; // delta time and the event's own bytes
        std::size_t deltaSize = 0;
        std::uint32_t deltaTime = 0;
        std::optional<MIDIByte> runningStatus;
        std::int64_t timeOffset = 0;

        std::span<const MIDIByte> eventData() const { return data.subspan(deltaSize); }
        // The first byte of the complete message; none for an event without bytes.
        std::optional<MIDIByte> firstByte() const {
            if (runningStatus) return runningStatus;
            return deltaSize < data.size() ? std::optional<MIDIByte>(data[deltaSize]) : std::nullopt;
        }
        std::vector<MIDIByte> computedData() const;
        std::optional<double> positionInBeats(const MIDIFileTrackChunk& chunk) const {
            if (chunk.timeFormat != MIDITimeFormat::ticksPerBeat) return std::nullopt;
            return (static_cast<double>(timeOffset) + static_cast<double>(deltaTime)) / chunk.timeDivision;
        }
    };
    // The event at the walk's place, and the walk moved past it; false at the end of the body or
    // at a byte that cannot start an event (logged as parseTrackEvents logs it).
    // Inline, as the walk is: it runs once for every event of every track read.
    bool nextTrackEvent(platform::sequence::StandardMIDIFileWalker& walk, EventView& event) const {
        using Kind = platform::sequence::StandardMIDIFileWalker::EventKind;
        // What the body holds is kept, cut-short events too; a delta time with nothing after it
        // ends the walk quietly.
        if (!walk.next()) return false;
        const auto& read = walk.event();
        if (read.kind == Kind::missing) return false;
        if (read.kind == Kind::unreadable) {
            logUnreadable(read.status, read.offset + read.delta.size, body().size());
            return false;
        }
        event = EventView{read.bytes, read.delta.size, read.delta.value,
                          read.runningStatus ? std::optional<MIDIByte>(read.status) : std::nullopt,
                          static_cast<std::int64_t>(read.timeOffset)};
        return true;
    }
    // The same walk as parseTrackEvents, event by event, without copying the bytes.
    template <class Visit> void forEachTrackEvent(Visit&& visit) const {
        platform::sequence::StandardMIDIFileWalker walk(body());
        EventView event;
        while (nextTrackEvent(walk, event))
            visit(static_cast<const EventView&>(event));
    }

    bool operator==(const MIDIFileTrackChunk&) const = default;

private:
    static void logUnreadable(MIDIByte byte, std::size_t at, std::size_t size);
};

} // namespace sonabel
