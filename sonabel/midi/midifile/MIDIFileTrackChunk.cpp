#include "sonabel/midi/midifile/MIDIFileTrackChunk.h"

#include "sonabel/internals/error_handling/Log.h"

#include <string>

namespace sonabel {

namespace {
// Out of the walk's loop, which it would otherwise slow down.
[[gnu::noinline]] void logUnreadable(MIDIByte byte, std::size_t at, std::size_t size) {
    Log({"parseTrackEvents"}, "error parsing midi file, byte is " + std::to_string(byte) + ", processed " +
                                  std::to_string(at) + " of " + std::to_string(size));
}
} // namespace

std::optional<MIDIFileTrackChunk> MIDIFileTrackChunk::make(std::span<const MIDIByte> data) {
    auto bytes = chunkBytes(data, MIDIFileChunkType::track);
    if (!bytes) return std::nullopt;
    return MIDIFileTrackChunk{{std::move(*bytes)}, MIDITimeFormat::ticksPerBeat, 480};
}

bool MIDIFileTrackChunk::nextTrackEvent(platform::sequence::StandardMIDIFileWalker& walk,
                                        EventView& event) const {
    using Kind = platform::sequence::StandardMIDIFileWalker::EventKind;
    // What the body holds is kept, cut-short events too; a delta time with nothing after it ends
    // the walk quietly.
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

std::vector<MIDIFileChunkEvent> MIDIFileTrackChunk::parseTrackEvents() const {
    std::vector<MIDIFileChunkEvent> events;
    forEachTrackEvent([&](const EventView& event) {
        events.push_back(MIDIFileChunkEvent{{event.data.begin(), event.data.end()},
                                            timeFormat,
                                            timeDivision,
                                            event.runningStatus,
                                            event.timeOffset});
    });
    return events;
}

std::vector<MIDIByte> MIDIFileTrackChunk::EventView::computedData() const {
    const auto own = eventData();
    std::vector<MIDIByte> message;
    message.reserve(own.size() + 1);
    if (runningStatus) message.push_back(*runningStatus);
    message.insert(message.end(), own.begin(), own.end());
    return message;
}

} // namespace sonabel
