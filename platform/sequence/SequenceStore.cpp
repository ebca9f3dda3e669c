#include "platform/sequence/SequenceStore.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace platform::sequence {

MusicTimeStamp eventEnd(const StoredEvent& event) {
    if (event.type == kMusicEventType_MIDINoteMessage && event.data.size() >= sizeof(MIDINoteMessage)) {
        MIDINoteMessage note;
        std::memcpy(&note, event.data.data(), sizeof note);
        if (std::isfinite(note.duration) && note.duration > 0) return event.time + note.duration;
    }
    return event.time;
}

std::size_t TrackEvents::insert(StoredEvent event) {
    const auto at = std::upper_bound(events.begin(), events.end(), event.time,
                                     [](MusicTimeStamp t, const StoredEvent& e) { return t < e.time; });
    length = std::max(length, eventEnd(event));
    return static_cast<std::size_t>(events.insert(at, std::move(event)) - events.begin());
}

MusicTimeStamp TrackEvents::effectiveLength() const {
    MusicTimeStamp result = length;
    for (const auto& e : events)
        result = std::max(result, eventEnd(e));
    return result;
}

std::pair<std::size_t, std::size_t> TrackEvents::range(MusicTimeStamp start, MusicTimeStamp end) const {
    const auto first = std::lower_bound(events.begin(), events.end(), start,
                                        [](const StoredEvent& e, MusicTimeStamp t) { return e.time < t; });
    auto last = end >= effectiveLength()
                    ? std::upper_bound(first, events.end(), end,
                                       [](MusicTimeStamp t, const StoredEvent& e) { return t < e.time; })
                    : std::lower_bound(first, events.end(), end,
                                       [](const StoredEvent& e, MusicTimeStamp t) { return e.time < t; });
    if (!(end >= start)) last = first; // reversed or NaN range
    return {static_cast<std::size_t>(first - events.begin()),
            static_cast<std::size_t>(last - events.begin())};
}

namespace {

struct TempoSegment {
    MusicTimeStamp beats;
    double bpm;
};

std::vector<TempoSegment> tempoSegments(const Track& tempoTrack) {
    std::vector<TempoSegment> segments{{0, 120}};
    for (const auto& event : tempoTrack.content.events) {
        if (event.type != kMusicEventType_ExtendedTempo || event.data.size() < sizeof(double)) continue;
        double bpm;
        std::memcpy(&bpm, event.data.data(), sizeof bpm);
        if (!std::isfinite(bpm) || bpm <= 0) continue;
        const MusicTimeStamp at = std::max(0.0, event.time);
        if (at <= segments.back().beats)
            segments.back().bpm = bpm;
        else
            segments.push_back({at, bpm});
    }
    return segments;
}

} // namespace

double secondsForBeats(const Track& tempoTrack, MusicTimeStamp beats) {
    const auto segments = tempoSegments(tempoTrack);
    if (beats <= 0) return beats * 60 / segments.front().bpm;
    double seconds = 0;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const MusicTimeStamp end = i + 1 < segments.size() ? segments[i + 1].beats : beats;
        const MusicTimeStamp upTo = std::min(end, beats);
        seconds += (upTo - segments[i].beats) * 60 / segments[i].bpm;
        if (upTo >= beats) break;
    }
    return seconds;
}

MusicTimeStamp beatsForSeconds(const Track& tempoTrack, double seconds) {
    const auto segments = tempoSegments(tempoTrack);
    if (seconds <= 0) return seconds * segments.front().bpm / 60;
    double elapsed = 0;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const double segmentSeconds = i + 1 < segments.size()
                                          ? (segments[i + 1].beats - segments[i].beats) * 60 / segments[i].bpm
                                          : INFINITY;
        if (elapsed + segmentSeconds >= seconds)
            return segments[i].beats + (seconds - elapsed) * segments[i].bpm / 60;
        elapsed += segmentSeconds;
    }
    return segments.back().beats;
}

Store& Store::shared() {
    static Store store;
    return store;
}

std::shared_ptr<Sequence> Store::sequence(MusicSequence handle) const {
    const auto it = sequences.find(static_cast<std::uint64_t>(handle));
    return it == sequences.end() ? nullptr : it->second;
}

std::shared_ptr<Track> Store::track(MusicTrack handle) const {
    const auto it = tracks.find(static_cast<std::uint64_t>(handle));
    return it == tracks.end() ? nullptr : it->second;
}

Iterator* Store::iterator(MusicEventIterator handle) {
    const auto it = iterators.find(static_cast<std::uint64_t>(handle));
    return it == iterators.end() ? nullptr : &it->second;
}

} // namespace platform::sequence
