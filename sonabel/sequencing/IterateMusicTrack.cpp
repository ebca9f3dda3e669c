#include "sonabel/sequencing/IterateMusicTrack.h"

#include "platform/sequence/MusicSequenceServices.h"
#include "sonabel/internals/error_handling/Log.h"

namespace sonabel {

void iterateMusicTrack(MusicTrack track, const MusicTrackEventHandler& midiEventHandler) {
    MusicEventIterator iterator{};
    if (NewMusicEventIterator(track, &iterator) != noErr) {
        Log({"iterateMusicTrack(_:midiEventHandler:)"}, "Unable to create iterator");
        return;
    }
    bool advance = true;
    bool hasCurrent = false;
    while (MusicEventIteratorHasCurrentEvent(iterator, &hasCurrent) == noErr && hasCurrent) {
        MusicTimeStamp time = 0;
        MusicEventType type = 0;
        const void* data = nullptr;
        std::uint32_t size = 0;
        MusicEventIteratorGetEventInfo(iterator, &time, &type, &data, &size);
        midiEventHandler(iterator, time, type, data, size, advance);
        if (advance) MusicEventIteratorNextEvent(iterator);
    }
    DisposeMusicEventIterator(iterator);
}

void deleteEvents(MusicTrack track, MusicEventType type, std::uint8_t firstByte) {
    iterateMusicTrack(track, [&](MusicEventIterator it, MusicTimeStamp, MusicEventType eventType,
                                 const void* data, std::uint32_t size, bool& advance) {
        const bool matches =
            eventType == type && data && size > 0 && *static_cast<const std::uint8_t*>(data) == firstByte;
        if (matches) MusicEventIteratorDeleteEvent(it);
        advance = !matches;
    });
}

void deleteEvents(MusicTrack track, MusicEventType type) {
    iterateMusicTrack(track, [&](MusicEventIterator it, MusicTimeStamp, MusicEventType eventType, const void*,
                                 std::uint32_t, bool& advance) {
        if (eventType == type) MusicEventIteratorDeleteEvent(it);
        advance = eventType != type;
    });
}

} // namespace sonabel
