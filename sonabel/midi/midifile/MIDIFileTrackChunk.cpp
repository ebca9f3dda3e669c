#include "sonabel/midi/midifile/MIDIFileTrackChunk.h"

#include "sonabel/internals/error_handling/Log.h"

#include <string>

namespace sonabel {

std::optional<MIDIFileTrackChunk> MIDIFileTrackChunk::make(std::span<const MIDIByte> data) {
    auto bytes = chunkBytes(data, MIDIFileChunkType::track);
    if (!bytes) return std::nullopt;
    return MIDIFileTrackChunk{{std::move(*bytes)}, MIDITimeFormat::ticksPerBeat, 480};
}

void MIDIFileTrackChunk::logUnreadable(MIDIByte byte, std::size_t at, std::size_t size) {
    Log({"parseTrackEvents"}, "error parsing midi file, byte is " + std::to_string(byte) + ", processed " +
                                  std::to_string(at) + " of " + std::to_string(size));
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
