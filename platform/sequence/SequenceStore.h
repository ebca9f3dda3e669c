#pragma once
// The objects behind the sequence handles, and the one lock that guards them. Internal to
// platform/sequence.
#include "platform/sequence/MusicSequenceTypes.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace platform::sequence {

struct StoredEvent {
    MusicTimeStamp time = 0;
    MusicEventType type = kMusicEventType_NULL;
    std::vector<std::uint8_t> data;
};

// Where an event ends: a note at its time plus its duration, anything else at its time.
MusicTimeStamp eventEnd(const StoredEvent& event);

struct TrackEvents {
    std::vector<StoredEvent> events; // time order; equal times in insertion order
    MusicTimeStamp length = 0;       // as set; may lie before the end of the events

    // The length as read: the stored one, or the end of the events when they reach past it.
    MusicTimeStamp effectiveLength() const;

    // After the events at the same time; grows the length to the event's end.
    std::size_t insert(StoredEvent event);
    // Indices of the events a range call takes (see MusicSequenceServices.h).
    std::pair<std::size_t, std::size_t> range(MusicTimeStamp start, MusicTimeStamp end) const;
};

struct Track {
    std::uint64_t id = 0;
    std::uint64_t sequenceID = 0;
    TrackEvents content;
    MusicTrackLoopInfo loopInfo;
    MusicTimeStamp offsetTime = 0;
    bool muted = false;
    bool solo = false;
    std::int16_t timeResolution = 480; // read on the tempo track
    AUNode destNode = 0;
    MIDIEndpointRef destEndpoint = 0;
    MusicTrackMIDIReceiver receiver;
};

struct Sequence {
    std::uint64_t id = 0;
    std::shared_ptr<Track> tempoTrack;
    std::vector<std::shared_ptr<Track>> tracks;
};

struct Iterator {
    std::weak_ptr<Track> track;
    std::size_t index = 0;
};

// Tempo map of a tempo track: seconds and beats from the start of the sequence. Before the
// first tempo event, and without one, the tempo is 120.
double secondsForBeats(const Track& tempoTrack, MusicTimeStamp beats);
MusicTimeStamp beatsForSeconds(const Track& tempoTrack, double seconds);

class Store {
public:
    static Store& shared();
    std::recursive_mutex& mutex() { return mutex_; }
    std::uint64_t nextID() { return ++lastID_; }

    std::map<std::uint64_t, std::shared_ptr<Sequence>> sequences;
    std::map<std::uint64_t, std::shared_ptr<Track>> tracks;
    std::map<std::uint64_t, Iterator> iterators;

    std::shared_ptr<Sequence> sequence(MusicSequence handle) const;
    std::shared_ptr<Track> track(MusicTrack handle) const;
    Iterator* iterator(MusicEventIterator handle);

private:
    std::recursive_mutex mutex_;
    std::uint64_t lastID_ = 0;
};

} // namespace platform::sequence
