#include "platform/sequence/MusicSequenceServices.h"

#include "platform/core/ValueText.h"
#include "platform/sequence/SequenceStore.h"
#include "platform/sequence/StandardMIDIFile.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <unistd.h>

using namespace platform::sequence;

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

Store& store() {
    return Store::shared();
}

std::shared_ptr<Track> makeTrack(std::uint64_t sequenceID) {
    auto track = std::make_shared<Track>();
    track->id = store().nextID();
    track->sequenceID = sequenceID;
    store().tracks[track->id] = track;
    return track;
}

void forgetTrack(const Track& track) {
    store().tracks.erase(track.id);
}

OSStatus addEvent(MusicTrack handle, MusicTimeStamp time, MusicEventType type, const void* data,
                  std::size_t size) {
    Lock lock(store().mutex());
    auto track = store().track(handle);
    if (!track) return kAudioToolboxErr_TrackNotFound;
    if (!data || !std::isfinite(time)) return kAudio_ParamError;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    track->content.insert({time, type, std::vector<std::uint8_t>(bytes, bytes + size)});
    return noErr;
}

std::optional<std::size_t> recordSize(MusicEventType type, const void* data) {
    switch (type) {
    case kMusicEventType_MIDINoteMessage:
        return sizeof(MIDINoteMessage);
    case kMusicEventType_MIDIChannelMessage:
        return sizeof(MIDIChannelMessage);
    case kMusicEventType_ExtendedTempo:
        return sizeof(ExtendedTempoEvent);
    case kMusicEventType_MIDIRawData: {
        std::uint32_t length;
        std::memcpy(&length, data, 4);
        return 4 + std::size_t{length};
    }
    case kMusicEventType_Meta: {
        std::uint32_t length;
        std::memcpy(&length, static_cast<const std::uint8_t*>(data) + 4, 4);
        return 8 + std::size_t{length};
    }
    default:
        return std::nullopt;
    }
}

// Events of the source range, their times moved to start at `at`.
std::vector<StoredEvent> copiedRange(const Track& source, MusicTimeStamp start, MusicTimeStamp end,
                                     MusicTimeStamp at) {
    const auto [first, last] = source.content.range(start, end);
    std::vector<StoredEvent> copied(source.content.events.begin() + first,
                                    source.content.events.begin() + last);
    for (auto& e : copied)
        e.time = e.time - start + at;
    return copied;
}

OSStatus copyRange(MusicTrack sourceHandle, MusicTimeStamp start, MusicTimeStamp end, MusicTrack destHandle,
                   MusicTimeStamp at, bool insert) {
    Lock lock(store().mutex());
    auto source = store().track(sourceHandle);
    auto dest = store().track(destHandle);
    if (!source || !dest) return kAudioToolboxErr_TrackNotFound;
    if (!std::isfinite(start) || !std::isfinite(end) || !std::isfinite(at) || end < start)
        return kAudio_ParamError;
    auto copied = copiedRange(*source, start, end, at);
    if (insert) {
        const double shift = end - start;
        bool moved = false;
        for (auto& e : dest->content.events)
            if (e.time >= at) {
                e.time += shift;
                moved = true;
            }
        if (moved) dest->content.length += shift;
    }
    for (auto& e : copied)
        dest->content.insert(std::move(e));
    return noErr;
}

std::optional<SequenceContent> readFile(const std::filesystem::path& path, OSStatus& status) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        status = kAudio_FileNotFoundError;
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        status = kAudio_FileNotFoundError;
        return std::nullopt;
    }
    auto content = readStandardMIDIFile(bytes);
    status = content && content->complete ? noErr : kAudioFileInvalidFileError;
    return content;
}

OSStatus install(MusicSequence handle, SequenceContent content) {
    Lock lock(store().mutex());
    auto sequence = store().sequence(handle);
    if (!sequence) return kAudioToolboxErr_NoSequence;
    for (const auto& track : sequence->tracks)
        forgetTrack(*track);
    sequence->tracks.clear();
    sequence->tempoTrack->content = std::move(content.tempo);
    sequence->tempoTrack->timeResolution = content.timeResolution;
    for (auto& events : content.tracks) {
        auto track = makeTrack(sequence->id);
        track->content = std::move(events);
        sequence->tracks.push_back(track);
    }
    return noErr;
}

bool fileTypeAccepted(MusicSequenceFileTypeID type) {
    return type == kMusicSequenceFile_MIDIType || type == kMusicSequenceFile_AnyType;
}

} // namespace

OSStatus NewMusicSequence(MusicSequence* outSequence) {
    if (!outSequence) return kAudio_ParamError;
    Lock lock(store().mutex());
    auto sequence = std::make_shared<Sequence>();
    sequence->id = store().nextID();
    sequence->tempoTrack = makeTrack(sequence->id);
    store().sequences[sequence->id] = sequence;
    *outSequence = MusicSequence{sequence->id};
    return noErr;
}

OSStatus DisposeMusicSequence(MusicSequence handle) {
    Lock lock(store().mutex());
    auto sequence = store().sequence(handle);
    if (!sequence) return kAudioToolboxErr_NoSequence;
    for (const auto& track : sequence->tracks)
        forgetTrack(*track);
    forgetTrack(*sequence->tempoTrack);
    store().sequences.erase(sequence->id);
    return noErr;
}

OSStatus MusicSequenceNewTrack(MusicSequence handle, MusicTrack* outTrack) {
    if (!outTrack) return kAudio_ParamError;
    Lock lock(store().mutex());
    auto sequence = store().sequence(handle);
    if (!sequence) return kAudioToolboxErr_NoSequence;
    auto track = makeTrack(sequence->id);
    sequence->tracks.push_back(track);
    *outTrack = MusicTrack{track->id};
    return noErr;
}

OSStatus MusicSequenceDisposeTrack(MusicSequence handle, MusicTrack trackHandle) {
    Lock lock(store().mutex());
    auto sequence = store().sequence(handle);
    if (!sequence) return kAudioToolboxErr_NoSequence;
    auto found = std::find_if(sequence->tracks.begin(), sequence->tracks.end(),
                              [&](const auto& t) { return MusicTrack{t->id} == trackHandle; });
    if (found == sequence->tracks.end()) return kAudioToolboxErr_TrackNotFound;
    forgetTrack(**found);
    sequence->tracks.erase(found);
    return noErr;
}

OSStatus MusicSequenceGetTrackCount(MusicSequence handle, std::uint32_t* outNumberOfTracks) {
    if (!outNumberOfTracks) return kAudio_ParamError;
    Lock lock(store().mutex());
    auto sequence = store().sequence(handle);
    if (!sequence) return kAudioToolboxErr_NoSequence;
    *outNumberOfTracks = static_cast<std::uint32_t>(sequence->tracks.size());
    return noErr;
}

OSStatus MusicSequenceGetIndTrack(MusicSequence handle, std::uint32_t trackIndex, MusicTrack* outTrack) {
    if (!outTrack) return kAudio_ParamError;
    Lock lock(store().mutex());
    auto sequence = store().sequence(handle);
    if (!sequence) return kAudioToolboxErr_NoSequence;
    if (trackIndex >= sequence->tracks.size()) return kAudioToolboxErr_TrackIndexError;
    *outTrack = MusicTrack{sequence->tracks[trackIndex]->id};
    return noErr;
}

OSStatus MusicSequenceGetTempoTrack(MusicSequence handle, MusicTrack* outTrack) {
    if (!outTrack) return kAudio_ParamError;
    Lock lock(store().mutex());
    auto sequence = store().sequence(handle);
    if (!sequence) return kAudioToolboxErr_NoSequence;
    *outTrack = MusicTrack{sequence->tempoTrack->id};
    return noErr;
}

OSStatus MusicSequenceGetBeatsForSeconds(MusicSequence handle, double seconds, MusicTimeStamp* outBeats) {
    if (!outBeats) return kAudio_ParamError;
    Lock lock(store().mutex());
    auto sequence = store().sequence(handle);
    if (!sequence) return kAudioToolboxErr_NoSequence;
    *outBeats = beatsForSeconds(*sequence->tempoTrack, seconds);
    return noErr;
}

OSStatus MusicSequenceGetSecondsForBeats(MusicSequence handle, MusicTimeStamp beats, double* outSeconds) {
    if (!outSeconds) return kAudio_ParamError;
    Lock lock(store().mutex());
    auto sequence = store().sequence(handle);
    if (!sequence) return kAudioToolboxErr_NoSequence;
    *outSeconds = secondsForBeats(*sequence->tempoTrack, beats);
    return noErr;
}

OSStatus MusicSequenceFileLoad(MusicSequence handle, const std::filesystem::path& fileURL,
                               MusicSequenceFileTypeID fileTypeHint, MusicSequenceLoadFlags) {
    if (!fileTypeAccepted(fileTypeHint)) return kAudioToolboxErr_InvalidSequenceType;
    {
        Lock lock(store().mutex());
        if (!store().sequence(handle)) return kAudioToolboxErr_NoSequence;
    }
    OSStatus status = noErr;
    auto content = readFile(fileURL, status);
    if (!content) return status;
    const OSStatus installed = install(handle, std::move(*content));
    return installed != noErr ? installed : status;
}

OSStatus MusicSequenceFileLoadData(MusicSequence handle, std::span<const std::uint8_t> data,
                                   MusicSequenceFileTypeID fileTypeHint, MusicSequenceLoadFlags) {
    if (!fileTypeAccepted(fileTypeHint)) return kAudioToolboxErr_InvalidSequenceType;
    auto content = readStandardMIDIFile(data);
    if (!content) return kAudioFileInvalidFileError;
    const bool complete = content->complete;
    const OSStatus installed = install(handle, std::move(*content));
    return installed != noErr ? installed : complete ? noErr : kAudioFileInvalidFileError;
}

OSStatus MusicSequenceFileCreateData(MusicSequence handle, MusicSequenceFileTypeID fileType,
                                     MusicSequenceFileFlags, std::int16_t resolution,
                                     std::vector<std::uint8_t>* outData) {
    if (!outData) return kAudio_ParamError;
    if (fileType != kMusicSequenceFile_MIDIType) return kAudioToolboxErr_InvalidSequenceType;
    Lock lock(store().mutex());
    auto sequence = store().sequence(handle);
    if (!sequence) return kAudioToolboxErr_NoSequence;
    SequenceContent content;
    content.tempo = sequence->tempoTrack->content;
    for (const auto& track : sequence->tracks)
        content.tracks.push_back(track->content);
    *outData = writeStandardMIDIFile(content, resolution > 0 ? std::uint16_t(resolution) : 480);
    return noErr;
}

OSStatus MusicSequenceFileCreate(MusicSequence handle, const std::filesystem::path& fileURL,
                                 MusicSequenceFileTypeID fileType, MusicSequenceFileFlags flags,
                                 std::int16_t resolution) {
    std::error_code error;
    if (!(flags & kMusicSequenceFileFlags_EraseFile) && std::filesystem::exists(fileURL, error))
        return kAudio_FilePermissionError;
    std::vector<std::uint8_t> bytes;
    if (const OSStatus status = MusicSequenceFileCreateData(handle, fileType, flags, resolution, &bytes))
        return status;
    auto temporary = fileURL;
    temporary += ".tmp-" + std::to_string(::getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            std::filesystem::remove(temporary, error);
            return kAudio_FilePermissionError;
        }
    }
    std::filesystem::rename(temporary, fileURL, error);
    if (error) {
        std::filesystem::remove(temporary, error);
        return kAudio_FilePermissionError;
    }
    return noErr;
}

OSStatus MusicSequenceDescribe(MusicSequence handle, std::string* outText) {
    if (!outText) return kAudio_ParamError;
    Lock lock(store().mutex());
    auto sequence = store().sequence(handle);
    if (!sequence) return kAudioToolboxErr_NoSequence;
    std::string text = "MusicSequence: " + std::to_string(sequence->tracks.size()) + " tracks\n";
    auto describeTrack = [&](const std::string& name, const Track& track) {
        text += name + ": length " + platform::describe(track.content.length) + ", " +
                std::to_string(track.content.events.size()) + " events\n";
        for (const auto& e : track.content.events)
            text += "  " + platform::describe(e.time) + " type " + std::to_string(e.type) + " size " +
                    std::to_string(e.data.size()) + "\n";
    };
    describeTrack("tempo track", *sequence->tempoTrack);
    for (std::size_t i = 0; i < sequence->tracks.size(); ++i)
        describeTrack("track " + std::to_string(i), *sequence->tracks[i]);
    *outText = std::move(text);
    return noErr;
}

OSStatus MusicTrackGetSequence(MusicTrack handle, MusicSequence* outSequence) {
    if (!outSequence) return kAudio_ParamError;
    Lock lock(store().mutex());
    auto track = store().track(handle);
    if (!track) return kAudioToolboxErr_TrackNotFound;
    *outSequence = MusicSequence{track->sequenceID};
    return noErr;
}

OSStatus MusicTrackNewMIDINoteEvent(MusicTrack track, MusicTimeStamp timeStamp,
                                    const MIDINoteMessage* message) {
    return addEvent(track, timeStamp, kMusicEventType_MIDINoteMessage, message, sizeof(MIDINoteMessage));
}

OSStatus MusicTrackNewMIDIChannelEvent(MusicTrack track, MusicTimeStamp timeStamp,
                                       const MIDIChannelMessage* message) {
    return addEvent(track, timeStamp, kMusicEventType_MIDIChannelMessage, message,
                    sizeof(MIDIChannelMessage));
}

OSStatus MusicTrackNewMIDIRawDataEvent(MusicTrack track, MusicTimeStamp timeStamp,
                                       const MIDIRawData* rawData) {
    if (!rawData) return kAudio_ParamError;
    return addEvent(track, timeStamp, kMusicEventType_MIDIRawData, rawData, 4 + std::size_t{rawData->length});
}

OSStatus MusicTrackNewExtendedTempoEvent(MusicTrack track, MusicTimeStamp timeStamp, double bpm) {
    if (!std::isfinite(bpm) || bpm <= 0) return kAudio_ParamError;
    const ExtendedTempoEvent event{bpm};
    return addEvent(track, timeStamp, kMusicEventType_ExtendedTempo, &event, sizeof event);
}

OSStatus MusicTrackNewMetaEvent(MusicTrack track, MusicTimeStamp timeStamp, const MIDIMetaEvent* metaEvent) {
    if (!metaEvent) return kAudio_ParamError;
    return addEvent(track, timeStamp, kMusicEventType_Meta, metaEvent,
                    8 + std::size_t{metaEvent->dataLength});
}

OSStatus MusicTrackClear(MusicTrack handle, MusicTimeStamp startTime, MusicTimeStamp endTime) {
    Lock lock(store().mutex());
    auto track = store().track(handle);
    if (!track) return kAudioToolboxErr_TrackNotFound;
    if (std::isnan(startTime) || std::isnan(endTime)) return kAudio_ParamError;
    if (!(endTime > startTime)) return noErr; // an empty range clears nothing, even at the length
    const auto [first, last] = track->content.range(startTime, endTime);
    auto& events = track->content.events;
    events.erase(events.begin() + first, events.begin() + last);
    return noErr;
}

OSStatus MusicTrackCopyInsert(MusicTrack sourceTrack, MusicTimeStamp sourceStartTime,
                              MusicTimeStamp sourceEndTime, MusicTrack destTrack,
                              MusicTimeStamp destInsertTime) {
    return copyRange(sourceTrack, sourceStartTime, sourceEndTime, destTrack, destInsertTime, true);
}

OSStatus MusicTrackMerge(MusicTrack sourceTrack, MusicTimeStamp sourceStartTime, MusicTimeStamp sourceEndTime,
                         MusicTrack destTrack, MusicTimeStamp destInsertTime) {
    return copyRange(sourceTrack, sourceStartTime, sourceEndTime, destTrack, destInsertTime, false);
}

namespace {

template <class T> OSStatus getValue(const T& value, void* outData, std::uint32_t* ioLength) {
    if (!outData || !ioLength || *ioLength < sizeof(T)) return kAudio_ParamError;
    std::memcpy(outData, &value, sizeof(T));
    *ioLength = sizeof(T);
    return noErr;
}

template <class T> OSStatus setValue(T& value, const void* data, std::uint32_t length) {
    if (!data || length < sizeof(T)) return kAudio_ParamError;
    std::memcpy(&value, data, sizeof(T));
    return noErr;
}

} // namespace

OSStatus MusicTrackGetProperty(MusicTrack handle, std::uint32_t propertyID, void* outData,
                               std::uint32_t* ioLength) {
    Lock lock(store().mutex());
    auto track = store().track(handle);
    if (!track) return kAudioToolboxErr_TrackNotFound;
    switch (propertyID) {
    case kSequenceTrackProperty_LoopInfo:
        return getValue(track->loopInfo, outData, ioLength);
    case kSequenceTrackProperty_OffsetTime:
        return getValue(track->offsetTime, outData, ioLength);
    case kSequenceTrackProperty_MuteStatus:
        return getValue(track->muted, outData, ioLength);
    case kSequenceTrackProperty_SoloStatus:
        return getValue(track->solo, outData, ioLength);
    case kSequenceTrackProperty_TrackLength:
        return getValue(track->content.effectiveLength(), outData, ioLength);
    case kSequenceTrackProperty_TimeResolution: {
        auto sequence = store().sequence(MusicSequence{track->sequenceID});
        if (!sequence || sequence->tempoTrack != track) return kAudioUnitErr_InvalidProperty;
        // Read into a 16- or 32-bit variable.
        if (ioLength && *ioLength >= 4)
            return getValue(std::int32_t{track->timeResolution}, outData, ioLength);
        return getValue(track->timeResolution, outData, ioLength);
    }
    default:
        return kAudioUnitErr_InvalidProperty;
    }
}

OSStatus MusicTrackSetProperty(MusicTrack handle, std::uint32_t propertyID, const void* data,
                               std::uint32_t length) {
    Lock lock(store().mutex());
    auto track = store().track(handle);
    if (!track) return kAudioToolboxErr_TrackNotFound;
    switch (propertyID) {
    case kSequenceTrackProperty_LoopInfo: {
        MusicTrackLoopInfo info;
        if (const OSStatus status = setValue(info, data, length)) return status;
        if (!std::isfinite(info.loopDuration) || info.loopDuration < 0 || info.numberOfLoops < 0)
            return kAudio_ParamError;
        track->loopInfo = info;
        return noErr;
    }
    case kSequenceTrackProperty_OffsetTime:
        return setValue(track->offsetTime, data, length);
    case kSequenceTrackProperty_MuteStatus:
        return setValue(track->muted, data, length);
    case kSequenceTrackProperty_SoloStatus:
        return setValue(track->solo, data, length);
    case kSequenceTrackProperty_TrackLength: {
        double value;
        if (const OSStatus status = setValue(value, data, length)) return status;
        if (std::isnan(value)) return kAudio_ParamError;
        track->content.length = value;
        return noErr;
    }
    case kSequenceTrackProperty_TimeResolution:
        return kAudioUnitErr_PropertyNotWritable;
    default:
        return kAudioUnitErr_InvalidProperty;
    }
}

OSStatus MusicTrackSetDestNode(MusicTrack handle, AUNode node) {
    Lock lock(store().mutex());
    auto track = store().track(handle);
    if (!track) return kAudioToolboxErr_TrackNotFound;
    track->destNode = node;
    return noErr;
}

OSStatus MusicTrackGetDestNode(MusicTrack handle, AUNode* outNode) {
    if (!outNode) return kAudio_ParamError;
    Lock lock(store().mutex());
    auto track = store().track(handle);
    if (!track) return kAudioToolboxErr_TrackNotFound;
    *outNode = track->destNode;
    return noErr;
}

OSStatus MusicTrackSetDestMIDIEndpoint(MusicTrack handle, MIDIEndpointRef endpoint) {
    Lock lock(store().mutex());
    auto track = store().track(handle);
    if (!track) return kAudioToolboxErr_TrackNotFound;
    track->destEndpoint = endpoint;
    return noErr;
}

OSStatus MusicTrackGetDestMIDIEndpoint(MusicTrack handle, MIDIEndpointRef* outEndpoint) {
    if (!outEndpoint) return kAudio_ParamError;
    Lock lock(store().mutex());
    auto track = store().track(handle);
    if (!track) return kAudioToolboxErr_TrackNotFound;
    *outEndpoint = track->destEndpoint;
    return noErr;
}

OSStatus MusicTrackSetDestMIDIReceiver(MusicTrack handle, MusicTrackMIDIReceiver receiver) {
    Lock lock(store().mutex());
    auto track = store().track(handle);
    if (!track) return kAudioToolboxErr_TrackNotFound;
    track->receiver = std::move(receiver);
    return noErr;
}

// Iterators

namespace {

struct IteratorAccess {
    Iterator* iterator = nullptr;
    std::shared_ptr<Track> track;
};

IteratorAccess access(MusicEventIterator handle) {
    IteratorAccess a;
    a.iterator = store().iterator(handle);
    if (a.iterator) a.track = a.iterator->track.lock();
    // A track disposed under the iterator is as good as gone.
    if (a.track && !store().tracks.count(a.track->id)) a.track.reset();
    return a;
}

} // namespace

OSStatus NewMusicEventIterator(MusicTrack handle, MusicEventIterator* outIterator) {
    if (!outIterator) return kAudio_ParamError;
    Lock lock(store().mutex());
    auto track = store().track(handle);
    if (!track) return kAudioToolboxErr_TrackNotFound;
    const auto id = store().nextID();
    store().iterators[id] = Iterator{track, 0};
    *outIterator = MusicEventIterator{id};
    return noErr;
}

OSStatus DisposeMusicEventIterator(MusicEventIterator handle) {
    Lock lock(store().mutex());
    return store().iterators.erase(static_cast<std::uint64_t>(handle)) ? noErr : kAudio_ParamError;
}

OSStatus MusicEventIteratorSeek(MusicEventIterator handle, MusicTimeStamp timeStamp) {
    Lock lock(store().mutex());
    auto a = access(handle);
    if (!a.track) return kAudio_ParamError;
    const auto& events = a.track->content.events;
    a.iterator->index = static_cast<std::size_t>(
        std::lower_bound(events.begin(), events.end(), timeStamp,
                         [](const StoredEvent& e, MusicTimeStamp t) { return e.time < t; }) -
        events.begin());
    return noErr;
}

OSStatus MusicEventIteratorNextEvent(MusicEventIterator handle) {
    Lock lock(store().mutex());
    auto a = access(handle);
    if (!a.track) return kAudio_ParamError;
    if (a.iterator->index >= a.track->content.events.size()) return kAudioToolboxErr_EndOfTrack;
    ++a.iterator->index;
    return noErr;
}

OSStatus MusicEventIteratorPreviousEvent(MusicEventIterator handle) {
    Lock lock(store().mutex());
    auto a = access(handle);
    if (!a.track) return kAudio_ParamError;
    if (a.iterator->index == 0) return kAudioToolboxErr_StartOfTrack;
    a.iterator->index = std::min(a.iterator->index, a.track->content.events.size()) - 1;
    return noErr;
}

OSStatus MusicEventIteratorGetEventInfo(MusicEventIterator handle, MusicTimeStamp* outTimeStamp,
                                        MusicEventType* outEventType, const void** outEventData,
                                        std::uint32_t* outEventDataSize) {
    Lock lock(store().mutex());
    auto a = access(handle);
    if (!a.track) return kAudio_ParamError;
    if (a.iterator->index >= a.track->content.events.size()) return kAudioToolboxErr_EndOfTrack;
    const auto& e = a.track->content.events[a.iterator->index];
    if (outTimeStamp) *outTimeStamp = e.time;
    if (outEventType) *outEventType = e.type;
    if (outEventData) *outEventData = e.data.empty() ? nullptr : e.data.data();
    if (outEventDataSize) *outEventDataSize = static_cast<std::uint32_t>(e.data.size());
    return noErr;
}

OSStatus MusicEventIteratorSetEventInfo(MusicEventIterator handle, MusicEventType eventType,
                                        const void* eventData) {
    if (!eventData) return kAudio_ParamError;
    const auto size = recordSize(eventType, eventData);
    if (!size) return kAudioToolboxErr_InvalidEventType;
    Lock lock(store().mutex());
    auto a = access(handle);
    if (!a.track) return kAudio_ParamError;
    auto& content = a.track->content;
    if (a.iterator->index >= content.events.size()) return kAudioToolboxErr_EndOfTrack;
    auto& e = content.events[a.iterator->index];
    const auto* bytes = static_cast<const std::uint8_t*>(eventData);
    e.type = eventType;
    e.data.assign(bytes, bytes + *size);
    content.length = std::max(content.length, eventEnd(e));
    return noErr;
}

OSStatus MusicEventIteratorSetEventTime(MusicEventIterator handle, MusicTimeStamp timeStamp) {
    if (!std::isfinite(timeStamp)) return kAudio_ParamError;
    Lock lock(store().mutex());
    auto a = access(handle);
    if (!a.track) return kAudio_ParamError;
    auto& content = a.track->content;
    if (a.iterator->index >= content.events.size()) return kAudioToolboxErr_EndOfTrack;
    auto event = std::move(content.events[a.iterator->index]);
    content.events.erase(content.events.begin() + a.iterator->index);
    event.time = timeStamp;
    a.iterator->index = content.insert(std::move(event));
    return noErr;
}

OSStatus MusicEventIteratorDeleteEvent(MusicEventIterator handle) {
    Lock lock(store().mutex());
    auto a = access(handle);
    if (!a.track) return kAudio_ParamError;
    auto& events = a.track->content.events;
    if (a.iterator->index >= events.size()) return kAudioToolboxErr_EndOfTrack;
    events.erase(events.begin() + a.iterator->index);
    return noErr;
}

OSStatus MusicEventIteratorHasPreviousEvent(MusicEventIterator handle, bool* outHasPrevEvent) {
    if (!outHasPrevEvent) return kAudio_ParamError;
    Lock lock(store().mutex());
    auto a = access(handle);
    if (!a.track) return kAudio_ParamError;
    *outHasPrevEvent = a.iterator->index > 0 && !a.track->content.events.empty();
    return noErr;
}

OSStatus MusicEventIteratorHasNextEvent(MusicEventIterator handle, bool* outHasNextEvent) {
    if (!outHasNextEvent) return kAudio_ParamError;
    Lock lock(store().mutex());
    auto a = access(handle);
    if (!a.track) return kAudio_ParamError;
    *outHasNextEvent = a.iterator->index + 1 < a.track->content.events.size();
    return noErr;
}

OSStatus MusicEventIteratorHasCurrentEvent(MusicEventIterator handle, bool* outHasCurEvent) {
    if (!outHasCurEvent) return kAudio_ParamError;
    Lock lock(store().mutex());
    auto a = access(handle);
    if (!a.track) return kAudio_ParamError;
    *outHasCurEvent = a.iterator->index < a.track->content.events.size();
    return noErr;
}
