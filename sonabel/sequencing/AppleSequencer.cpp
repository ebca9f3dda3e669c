#include "sonabel/sequencing/AppleSequencer.h"

#include "platform/core/ValueText.h"
#include "platform/sequence/BundleResources.h"
#include "platform/sequence/MusicSequenceServices.h"
#include "sonabel/internals/error_handling/Log.h"
#include "sonabel/internals/settings/Settings.h"
#include "sonabel/sequencing/IterateMusicTrack.h"
#include "sonabel/sequencing/MIDIMetaEventBuffer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace sonabel {

namespace {

constexpr std::uint8_t kTimeSignatureMetaType = 0x58;

double clampTempo(double bpm) {
    return std::min(std::max(10.0, bpm), 280.0);
}

// The entry in force at a position: the last one at or before it.
template <class T>
T lookup(const std::vector<std::pair<MusicTimeStamp, T>>& list, MusicTimeStamp at, T fallback) {
    if (list.empty() || at < list.front().first) return fallback;
    for (std::size_t i = 0; i + 1 < list.size(); ++i)
        if (list[i + 1].first > at) return list[i].second;
    return list.back().second;
}

} // namespace

AppleSequencer::AppleSequencer() {
    MusicSequence made{};
    if (NewMusicSequence(&made) == noErr) {
        sequence = made;
        sequencePointer = made;
    }
    MusicPlayer player{};
    if (NewMusicPlayer(&player) == noErr) {
        musicPlayer = player;
        if (sequence) MusicPlayerSetSequence(player, *sequence);
    }
}

AppleSequencer::~AppleSequencer() {
    Log({"deinit"}, "deinit:");
    if (musicPlayer) DisposeMusicPlayer(*musicPlayer);
    if (sequence) {
        for (const auto& track : tracks)
            if (track && track->internalMusicTrack)
                MusicSequenceDisposeTrack(*sequence, *track->internalMusicTrack);
        DisposeMusicSequence(*sequence);
    }
}

std::shared_ptr<AppleSequencer> AppleSequencer::fromFile(const std::string& fileName) {
    auto sequencer = std::make_shared<AppleSequencer>();
    sequencer->loadMIDIFile(fileName);
    return sequencer;
}

std::shared_ptr<AppleSequencer> AppleSequencer::fromURL(const std::filesystem::path& url) {
    auto sequencer = std::make_shared<AppleSequencer>();
    sequencer->loadMIDIFileFromURL(url);
    return sequencer;
}

std::shared_ptr<AppleSequencer> AppleSequencer::fromData(std::span<const std::uint8_t> data) {
    auto sequencer = std::make_shared<AppleSequencer>();
    sequencer->loadMIDIFileFromData(data);
    return sequencer;
}

std::optional<MusicTrack> AppleSequencer::tempoTrack() const {
    if (!sequence) return std::nullopt;
    MusicTrack track{};
    if (MusicSequenceGetTempoTrack(*sequence, &track) != noErr) return std::nullopt;
    return track;
}

// Looping and length

void AppleSequencer::writeLoopInfo(double beats, std::int32_t numberOfLoops) {
    const MusicTrackLoopInfo info{beats, numberOfLoops};
    for (const auto& track : tracks)
        if (track->internalMusicTrack)
            MusicTrackSetProperty(*track->internalMusicTrack, kSequenceTrackProperty_LoopInfo, &info,
                                  sizeof info);
}

void AppleSequencer::toggleLoop() {
    if (loopEnabled_)
        disableLooping();
    else
        enableLooping();
}

void AppleSequencer::enableLooping() {
    enableLooping(length());
}

void AppleSequencer::enableLooping(const Duration& loopLength) {
    writeLoopInfo(loopLength.beats, 0);
    loopEnabled_ = true;
}

void AppleSequencer::disableLooping() {
    writeLoopInfo(0, 0);
    loopEnabled_ = false;
}

void AppleSequencer::setLoopInfo(const Duration& duration, std::int64_t numberOfLoops) {
    writeLoopInfo(duration.beats,
                  static_cast<std::int32_t>(std::clamp<std::int64_t>(numberOfLoops, INT32_MIN, INT32_MAX)));
    loopEnabled_ = true;
}

void AppleSequencer::setLength(const Duration& length) {
    if (!std::isfinite(length.beats) || length.beats < 0) {
        Log({"setLength(_:)"}, "Length must be finite and not negative: " + platform::describe(length.beats));
        return;
    }
    for (const auto& track : tracks)
        track->setLength(length);
    if (const auto tempo = tempoTrack()) {
        const double beats = length.beats;
        MusicTrackSetProperty(*tempo, kSequenceTrackProperty_TrackLength, &beats, sizeof beats);
    }
}

Duration AppleSequencer::length() const {
    double longest = 0;
    for (const auto& track : tracks)
        longest = std::max(longest, track->length());
    return Duration(longest, tempo());
}

void AppleSequencer::setRate(double rate) {
    if (musicPlayer) MusicPlayerSetPlayRateScalar(*musicPlayer, rate);
}

double AppleSequencer::rate() const {
    double rate = 1.0;
    if (musicPlayer) MusicPlayerGetPlayRateScalar(*musicPlayer, &rate);
    return rate;
}

double AppleSequencer::tempo() const {
    if (!tempoTrack()) return 0;
    return lookup(allTempoEvents(), currentPosition().beats, 120.0);
}

// Tempo and time signatures

void AppleSequencer::setTempo(double bpm) {
    const double clamped = clampTempo(bpm);
    const auto track = tempoTrack();
    if (!track) return;
    deleteEvents(*track, kMusicEventType_ExtendedTempo);
    MusicTrackNewExtendedTempoEvent(*track, 0, clamped);
}

void AppleSequencer::addTempoEventAt(double tempo, MusicTimeStamp position) {
    if (const auto track = tempoTrack()) MusicTrackNewExtendedTempoEvent(*track, position, clampTempo(tempo));
}

std::vector<std::pair<MusicTimeStamp, double>> AppleSequencer::allTempoEvents() const {
    std::vector<std::pair<MusicTimeStamp, double>> events;
    const auto track = tempoTrack();
    if (!track) return events;
    iterateMusicTrack(*track, [&](MusicEventIterator, MusicTimeStamp time, MusicEventType type,
                                  const void* data, std::uint32_t size, bool&) {
        if (type != kMusicEventType_ExtendedTempo || !data || size < sizeof(double)) return;
        double bpm;
        std::memcpy(&bpm, data, sizeof bpm);
        events.emplace_back(time, bpm);
    });
    return events;
}

double AppleSequencer::getTempo(MusicTimeStamp at) const {
    return lookup(allTempoEvents(), at, 120.0);
}

std::vector<std::pair<MusicTimeStamp, TimeSignature>> AppleSequencer::allTimeSignatureEvents() const {
    std::vector<std::pair<MusicTimeStamp, TimeSignature>> events;
    const auto track = tempoTrack();
    if (!track) {
        Log({"allTimeSignatureEvents"}, "Couldn't get tempo track");
        return events;
    }
    iterateMusicTrack(*track, [&](MusicEventIterator, MusicTimeStamp time, MusicEventType type,
                                  const void* data, std::uint32_t size, bool&) {
        if (type != kMusicEventType_Meta || !data || size < 8) return;
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        if (bytes[0] != kTimeSignatureMetaType) return;
        std::uint32_t length;
        std::memcpy(&length, bytes + 4, 4);
        // Both bytes must be there to be read.
        const auto bottom =
            length >= 2 && size >= 10 ? TimeSignature::bottomValueFromRawValue(bytes[9]) : std::nullopt;
        if (!bottom) {
            Log({"allTimeSignatureEvents"}, "Inavlid time signature bottom value");
            return;
        }
        events.emplace_back(time, TimeSignature{bytes[8], *bottom});
    });
    return events;
}

TimeSignature AppleSequencer::getTimeSignature(MusicTimeStamp at) const {
    return lookup(allTimeSignatureEvents(), at, TimeSignature{});
}

void AppleSequencer::addTimeSignatureEvent(MusicTimeStamp at, const TimeSignature& timeSignature,
                                           std::uint8_t ticksPerMetronomeClick,
                                           std::uint8_t thirtySecondNotesPerQuarter,
                                           bool clearExistingEvents) {
    constexpr const char* function = "addTimeSignatureEvent(at:timeSignature:ticksPerMetronomeClick:"
                                     "thirtySecondNotesPerQuarter:clearExistingEvents:)";
    const auto track = tempoTrack();
    if (!track) {
        Log({function}, "Couldn't get tempo track");
        return;
    }
    if (clearExistingEvents) deleteEvents(*track, kMusicEventType_Meta, kTimeSignatureMetaType);
    const std::uint8_t data[] = {timeSignature.topValue, TimeSignature::rawValue(timeSignature.bottomValue),
                                 ticksPerMetronomeClick, thirtySecondNotesPerQuarter};
    const auto buffer = makeMIDIMetaEvent(kTimeSignatureMetaType, data);
    if (MusicTrackNewMetaEvent(*track, at, buffer->get()) != noErr)
        Log({function}, "Unable to set time signature");
}

// Time conversion

Duration AppleSequencer::duration(double seconds) const {
    double beats = 0;
    if (sequence) MusicSequenceGetBeatsForSeconds(*sequence, std::fabs(seconds), &beats);
    return Duration(seconds > 0 ? beats : -beats);
}

double AppleSequencer::seconds(const Duration& duration) const {
    double seconds = 0;
    if (sequence) MusicSequenceGetSecondsForBeats(*sequence, std::fabs(duration.beats), &seconds);
    return duration.beats > 0 ? seconds : -seconds;
}

Duration AppleSequencer::previousQuantizedPosition(double quantizationInBeats) const {
    const double rel = currentRelativePosition().beats, len = length().beats;
    // A zero grid or length has no grid points; the position stands.
    if (!(std::isfinite(quantizationInBeats) && quantizationInBeats > 0 && len > 0)) return Duration(rel);
    return Duration(std::fmod(rel - std::fmod(rel, quantizationInBeats), len));
}

Duration AppleSequencer::nextQuantizedPosition(double quantizationInBeats) const {
    const double len = length().beats;
    if (!(std::isfinite(quantizationInBeats) && quantizationInBeats > 0 && len > 0))
        return Duration(currentRelativePosition().beats);
    return Duration(
        std::fmod(previousQuantizedPosition(quantizationInBeats).beats + quantizationInBeats, len));
}

Duration AppleSequencer::nearestQuantizedPosition(double quantizationInBeats) const {
    const double rel = currentRelativePosition().beats;
    const auto previous = previousQuantizedPosition(quantizationInBeats);
    const auto next = nextQuantizedPosition(quantizationInBeats);
    return rel - previous.beats < next.beats - rel ? previous : next;
}

std::uint64_t AppleSequencer::hostTime(MusicTimeStamp forBeats) const {
    using Error = MusicPlayerTimeConversionError;
    if (!musicPlayer || !isPlaying()) throw Error(Error::Kind::musicPlayerIsNotPlaying);
    MIDITimeStamp host = 0;
    if (const OSStatus status = MusicPlayerGetHostTimeForBeats(*musicPlayer, forBeats, &host))
        throw Error(Error::Kind::osStatus, status);
    return host;
}

MusicTimeStamp AppleSequencer::beats(std::uint64_t forHostTime) const {
    using Error = MusicPlayerTimeConversionError;
    if (!musicPlayer || !isPlaying()) throw Error(Error::Kind::musicPlayerIsNotPlaying);
    MusicTimeStamp beats = 0;
    if (const OSStatus status = MusicPlayerGetBeatsForHostTime(*musicPlayer, forHostTime, &beats))
        throw Error(Error::Kind::osStatus, status);
    return beats;
}

// Transport

void AppleSequencer::preroll() {
    if (musicPlayer) MusicPlayerPreroll(*musicPlayer);
}

void AppleSequencer::play() {
    if (musicPlayer) MusicPlayerStart(*musicPlayer);
}

void AppleSequencer::stop() {
    if (musicPlayer) MusicPlayerStop(*musicPlayer);
}

void AppleSequencer::rewind() {
    if (musicPlayer) MusicPlayerSetTime(*musicPlayer, 0);
}

void AppleSequencer::setTime(MusicTimeStamp time) {
    if (musicPlayer) MusicPlayerSetTime(*musicPlayer, time);
}

bool AppleSequencer::isPlaying() const {
    bool playing = false;
    if (musicPlayer) MusicPlayerIsPlaying(*musicPlayer, &playing);
    return playing;
}

Duration AppleSequencer::currentPosition() const {
    MusicTimeStamp time = 0;
    if (musicPlayer) MusicPlayerGetTime(*musicPlayer, &time);
    return Duration(time);
}

Duration AppleSequencer::currentRelativePosition() const {
    auto position = currentPosition();
    const double len = length().beats;
    // Without a length there is no loop to be in: the position within it is 0.
    position.beats = len > 0 ? std::fmod(position.beats, len) : 0;
    return position;
}

int AppleSequencer::trackCount() const {
    std::uint32_t count = 0;
    if (sequence) MusicSequenceGetTrackCount(*sequence, &count);
    return static_cast<int>(count);
}

std::uint32_t AppleSequencer::timeResolution() const {
    if (!sequence) {
        Log({"timeResolution"}, "Couldn't get sequence for time resolution");
        return 0;
    }
    const auto track = tempoTrack();
    if (!track) {
        Log({"timeResolution"}, "No tempo track for time resolution");
        return 0;
    }
    std::uint32_t resolution = 0;
    std::uint32_t size = sizeof resolution;
    MusicTrackGetProperty(*track, kSequenceTrackProperty_TimeResolution, &resolution, &size);
    return resolution;
}

// Files and tracks

void AppleSequencer::loadMIDIFile(const std::string& fileName) {
    const auto path = platform::BundleResources::pathForResource(fileName, "mid");
    if (!path) {
        Log({"loadMIDIFile(_:)"}, "No midi file found");
        return;
    }
    loadMIDIFileFromURL(*path);
}

void AppleSequencer::loadMIDIFileFromURL(const std::filesystem::path& url) {
    removeTracks();
    if (sequence) {
        const OSStatus status = MusicSequenceFileLoad(*sequence, url, kMusicSequenceFile_MIDIType, 0);
        if (status != noErr)
            Log({"loadMIDIFile(fromURL:)"}, "error reading midi file url: " + ("file://" + url.string()) +
                                                ", read status: " + platform::describe(status));
    }
    initTracks();
}

void AppleSequencer::loadMIDIFileFromData(std::span<const std::uint8_t> data) {
    removeTracks();
    if (sequence) {
        const OSStatus status = MusicSequenceFileLoadData(*sequence, data, kMusicSequenceFile_MIDIType, 0);
        if (status != noErr)
            Log({"loadMIDIFile(fromData:)"},
                "error reading midi data, read status: " + platform::describe(status));
    }
    initTracks();
}

void AppleSequencer::addMIDIFileTracks(const std::string& fileName, bool useExistingSequencerLength) {
    AppleSequencer temporary;
    temporary.loadMIDIFile(fileName);
    addMusicTrackNoteData(temporary, useExistingSequencerLength);
}

void AppleSequencer::addMIDIFileTracksFromURL(const std::filesystem::path& url,
                                              bool useExistingSequencerLength) {
    AppleSequencer temporary;
    temporary.loadMIDIFileFromURL(url);
    addMusicTrackNoteData(temporary, useExistingSequencerLength);
}

void AppleSequencer::addMusicTrackNoteData(const AppleSequencer& from, bool useExistingSequencerLength) {
    if (isPlaying()) {
        Log({"addMusicTrackNoteData(from:useExistingSequencerLength:)"}, "Can't add tracks during playback");
        return;
    }
    const Duration existingLength = length();
    // A snapshot: `from` may be this sequencer, whose track list grows below.
    const auto sources = from.tracks;
    for (const auto& source : sources) {
        const auto notes = source->getMIDINoteData();
        if (notes.empty()) continue;
        std::shared_ptr<MusicTrackManager> added;
        MusicTrack track{};
        if (sequence && MusicSequenceNewTrack(*sequence, &track) == noErr) {
            added = std::make_shared<MusicTrackManager>(track, std::string("Unnamed"));
            tracks.push_back(added);
        }
        if (!added) continue;
        added->clearRange(Duration(0), Duration(added->length()));
        for (const auto& note : notes)
            added->add(note.noteNumber, note.velocity, note.position, note.duration, note.channel);
        if (useExistingSequencerLength) added->setLength(existingLength);
    }
    if (loopEnabled_) enableLooping();
}

void AppleSequencer::initTracks() {
    const int count = trackCount();
    for (int i = 0; i < count; ++i) {
        MusicTrack track{};
        if (MusicSequenceGetIndTrack(*sequence, static_cast<std::uint32_t>(i), &track) == noErr)
            tracks.push_back(std::make_shared<MusicTrackManager>(track, std::string("InitializedTrack")));
    }
    if (loopEnabled_) enableLooping();
}

void AppleSequencer::removeTracks() {
    if (sequence) {
        if (const auto tempo = tempoTrack()) {
            MusicTrackClear(*tempo, 0, length().beats);
            deleteEvents(*tempo, kMusicEventType_Meta, kTimeSignatureMetaType);
            deleteEvents(*tempo, kMusicEventType_ExtendedTempo);
        }
        for (const auto& track : tracks)
            if (track->internalMusicTrack) MusicSequenceDisposeTrack(*sequence, *track->internalMusicTrack);
    }
    tracks.clear();
}

std::shared_ptr<MusicTrackManager> AppleSequencer::newTrack(const std::string& name) {
    if (!sequence) return nullptr;
    MusicTrack track{};
    if (MusicSequenceNewTrack(*sequence, &track) != noErr) return nullptr;
    auto manager = std::make_shared<MusicTrackManager>(track, name);
    tracks.push_back(manager);
    return manager;
}

void AppleSequencer::deleteTrack(int trackIndex) {
    if (isPlaying()) {
        Log({"deleteTrack(trackIndex:)"}, "Can't delete sequencer track during playback");
        return;
    }
    if (trackIndex < 0 || static_cast<std::size_t>(trackIndex) >= tracks.size() ||
        !tracks[static_cast<std::size_t>(trackIndex)]->internalMusicTrack) {
        Log({"deleteTrack(trackIndex:)"}, "Can't get track for index");
        return;
    }
    if (!sequence) {
        Log({"deleteTrack(trackIndex:)"}, "Can't get sequence");
        return;
    }
    const auto index = static_cast<std::size_t>(trackIndex);
    MusicSequenceDisposeTrack(*sequence, *tracks[index]->internalMusicTrack);
    tracks.erase(tracks.begin() + static_cast<std::ptrdiff_t>(index));
}

void AppleSequencer::clearRange(const Duration& start, const Duration& duration) {
    for (const auto& track : tracks)
        track->clearRange(start, duration);
}

std::optional<std::vector<std::uint8_t>> AppleSequencer::genData() const {
    if (!sequence) return std::nullopt;
    std::vector<std::uint8_t> data;
    if (MusicSequenceFileCreateData(*sequence, kMusicSequenceFile_MIDIType, kMusicSequenceFileFlags_EraseFile,
                                    480, &data) != noErr) {
        Log({"genData()"}, "error creating MusicSequence Data");
        return std::nullopt;
    }
    return data;
}

std::optional<std::string> AppleSequencer::showSequence() const {
    if (!sequencePointer) return std::nullopt;
    std::string text;
    if (MusicSequenceDescribe(*sequencePointer, &text) != noErr) return std::nullopt;
    std::fputs(text.c_str(), stdout);
    return text;
}

void AppleSequencer::setGlobalMIDIOutput(MIDIEndpointRef midiEndpoint) {
    for (const auto& track : tracks)
        if (track->internalMusicTrack)
            MusicTrackSetDestMIDIEndpoint(*track->internalMusicTrack, midiEndpoint);
}

} // namespace sonabel
