#pragma once
// Reads back every event of a track, for tests of the sequence layer and of the sequencer on it.
#include "platform/sequence/MusicSequenceServices.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace sequencetest {

struct Event {
    MusicTimeStamp time;
    MusicEventType type;
    std::vector<std::uint8_t> data;
};

inline std::vector<Event> events(MusicTrack track) {
    std::vector<Event> out;
    MusicEventIterator it;
    const OSStatus made = NewMusicEventIterator(track, &it);
    EXPECT_EQ(made, noErr);
    if (made != noErr) return out;
    bool has = false;
    while (MusicEventIteratorHasCurrentEvent(it, &has) == noErr && has) {
        Event e;
        const void* data = nullptr;
        std::uint32_t size = 0;
        MusicEventIteratorGetEventInfo(it, &e.time, &e.type, &data, &size);
        e.data.assign(static_cast<const std::uint8_t*>(data), static_cast<const std::uint8_t*>(data) + size);
        out.push_back(e);
        MusicEventIteratorNextEvent(it);
    }
    DisposeMusicEventIterator(it);
    return out;
}

} // namespace sequencetest
