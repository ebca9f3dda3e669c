#include "platform/sequence/MusicSequenceServices.h"
#include "sonabel/internals/error_handling/Log.h"
#include "sonabel/midi/MIDIStatusType.h"
#include "sonabel/sequencing/MusicTrackManager.h"

#include <cstring>

namespace sonabel {

std::optional<std::vector<AppleMIDIEvent>>
MusicTrackManager::getRawEventData(std::optional<MusicEventType> type) const {
    if (!internalMusicTrack) {
        Log({"getRawEventData(ofType:)"}, "debug failed - track doesn't exist");
        return std::nullopt;
    }
    std::vector<AppleMIDIEvent> events;
    MusicEventIterator iterator{};
    if (NewMusicEventIterator(*internalMusicTrack, &iterator) != noErr) return events;
    bool hasCurrent = false;
    while (MusicEventIteratorHasCurrentEvent(iterator, &hasCurrent) == noErr && hasCurrent) {
        AppleMIDIEvent event;
        MusicEventIteratorGetEventInfo(iterator, &event.time, &event.type, &event.data, &event.dataSize);
        if ((!type || event.type == *type) && event.data) events.push_back(event);
        MusicEventIteratorNextEvent(iterator);
    }
    DisposeMusicEventIterator(iterator);
    return events;
}

std::optional<std::vector<AppleMIDIEvent>> MusicTrackManager::noteEventData() const {
    return getRawEventData(kMusicEventType_MIDINoteMessage);
}

std::vector<MIDIProgramChangeEvent> MusicTrackManager::programChangeEvents() const {
    std::vector<MIDIProgramChangeEvent> programs;
    for (const auto& event : getRawEventData().value_or(std::vector<AppleMIDIEvent>{})) {
        if (event.type != kMusicEventType_MIDIChannelMessage || event.dataSize < sizeof(MIDIChannelMessage))
            continue;
        MIDIChannelMessage message;
        std::memcpy(&message, event.data, sizeof message);
        if ((message.status & 0xF0) == 0xC0)
            programs.push_back({event.time, std::uint8_t(message.status & 0x0F), message.data1});
    }
    return programs;
}

void MusicTrackManager::debug() const {
    const auto events = getRawEventData();
    if (!events) return;
    for (const auto& event : *events) {
        const auto* bytes = static_cast<const std::uint8_t*>(event.data);
        const std::string time = platform::describe(event.time);
        switch (event.type) {
        case kMusicEventType_Meta: {
            if (event.dataSize < 8) break;
            std::uint32_t length;
            std::memcpy(&length, bytes + 4, 4);
            const std::string first = event.dataSize > 8 ? platform::describe(int(bytes[8])) : "nil";
            Log({"debug()"}, "MIDI Meta @ " + time + " - size: " + platform::describe(length) +
                                 " - type: " + platform::describe(int(bytes[0])) + " - data: " + first);
            break;
        }
        case kMusicEventType_MIDINoteMessage: {
            if (event.dataSize < sizeof(MIDINoteMessage)) break;
            MIDINoteMessage note;
            std::memcpy(&note, bytes, sizeof note);
            Log({"debug()"}, "MIDI Note @:" + time + " note:" + platform::describe(int(note.note)) +
                                 " velocity:" + platform::describe(int(note.velocity)) +
                                 " duration:" + platform::describe(note.duration) +
                                 " channel:" + platform::describe(int(note.channel)));
            break;
        }
        case kMusicEventType_MIDIChannelMessage: {
            if (event.dataSize < sizeof(MIDIChannelMessage)) break;
            MIDIChannelMessage message;
            std::memcpy(&message, bytes, sizeof message);
            if ((message.status & 0xF0) == 0xC0) {
                Log({"debug()"}, "MIDI Program Change @ " + time +
                                     " - program: " + platform::describe(int(message.data1)) +
                                     " - channel: " + platform::describe(int(message.status & 0x0F)));
            } else if (const auto kind = MIDIStatusType::from(message.status);
                       kind && message.status < 0xF0) {
                Log({"debug()"}, "MIDI Channel Message @" + time +
                                     " data1:" + platform::describe(int(message.data1)) +
                                     " data2:" + platform::describe(int(message.data2)) +
                                     " status:" + kind->description());
            }
            break;
        }
        default:
            Log({"debug()"}, "MIDI Event @ " + time);
        }
    }
}

} // namespace sonabel
