#pragma once
#include "platform/sequence/MusicSequenceTypes.h"

#include <cstdint>
#include <functional>

namespace sonabel {

// Called once per event. `advance` starts true and keeps its value between calls: a handler
// that deletes the current event (which makes the next one current) sets it false for that call.
using MusicTrackEventHandler =
    std::function<void(MusicEventIterator iterator, MusicTimeStamp time, MusicEventType type,
                       const void* data, std::uint32_t dataSize, bool& advance)>;

void iterateMusicTrack(MusicTrack track, const MusicTrackEventHandler& midiEventHandler);

// Deletes the events of the type whose first data byte (a meta event's type) is the given one.
void deleteEvents(MusicTrack track, MusicEventType type, std::uint8_t firstByte);
// Deletes every event of the type.
void deleteEvents(MusicTrack track, MusicEventType type);

} // namespace sonabel
