#include "sonabel/midi/midifile/MIDIFileTrack.h"

#include "sonabel/midi/MIDICustomMetaEventType.h"

namespace sonabel {

std::vector<MIDIEvent> MIDIFileTrack::events() const {
    // Walked in place: only the messages kept are copied out.
    std::vector<MIDIEvent> result;
    chunk.forEachTrackEvent([&](const MIDIFileTrackChunk::EventView& fileEvent) {
        const auto first = fileEvent.firstByte();
        if (!first || *first == 0xFF) return; // empty, or a meta event
        MIDIEvent event(fileEvent.computedData());
        event.positionInBeats = fileEvent.positionInBeats(chunk);
        result.push_back(std::move(event));
    });
    return result;
}

std::vector<MIDIEvent> MIDIFileTrack::channelEvents() const {
    std::vector<MIDIEvent> result;
    for (auto& event : events())
        if (!event.data.empty() && event.data[0] >= 0x80 && event.data[0] < 0xF0)
            result.push_back(std::move(event));
    return result;
}

std::vector<MIDICustomMetaEvent> MIDIFileTrack::metaEvents() const {
    std::vector<MIDICustomMetaEvent> result;
    chunk.forEachTrackEvent([&](const MIDIFileTrackChunk::EventView& fileEvent) {
        // A message under running status starts with its status, never with FF.
        if (fileEvent.runningStatus) return;
        auto meta = MIDICustomMetaEvent::make(fileEvent.eventData());
        if (!meta) return;
        if (chunk.timeFormat == MIDITimeFormat::ticksPerBeat)
            meta->positionInBeats = fileEvent.positionInBeats(chunk);
        result.push_back(std::move(*meta));
    });
    return result;
}

double MIDIFileTrack::length() const {
    const auto meta = metaEvents();
    if (meta.empty()) return 0;
    return meta.back().positionInBeats.value_or(0);
}

std::optional<std::string> MIDIFileTrack::name() const {
    for (const auto& fileEvent : chunk.parseTrackEvents()) {
        const auto index = fileEvent.typeIndex();
        if (!index) continue;
        const MIDIByte type = fileEvent.runningStatus.value_or(fileEvent.data[*index]);
        if (type != MIDICustomMetaEventType::trackName) continue;
        const auto meta = MIDICustomMetaEvent::make(fileEvent.computedData());
        // The payload proper: a name cut short by the end of the track keeps what is there rather
        // than taking header bytes for text.
        return meta ? meta->text() : std::nullopt;
    }
    return std::nullopt;
}

} // namespace sonabel
