#include "sonabel/sequencing/MusicTrackManager.h"

#include "platform/core/ValueText.h"
#include "platform/sequence/MusicSequenceServices.h"
#include "sonabel/internals/error_handling/Log.h"
#include "sonabel/sequencing/AppleSequencer.h"
#include "sonabel/sequencing/IterateMusicTrack.h"
#include "sonabel/sequencing/MIDIMetaEventBuffer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace sonabel {

namespace {

double readLength(const std::optional<MusicTrack>& track) {
    if (!track) return 0;
    double length = 0;
    std::uint32_t size = sizeof length;
    MusicTrackGetProperty(*track, kSequenceTrackProperty_TrackLength, &length, &size);
    return length;
}

void writeLength(MusicTrack track, double length) {
    MusicTrackSetProperty(track, kSequenceTrackProperty_TrackLength, &length, sizeof length);
}

std::optional<MusicTrack> newTrack(const std::shared_ptr<AppleSequencer>& sequencer) {
    if (!sequencer || !sequencer->sequence) return std::nullopt;
    MusicTrack track{};
    if (MusicSequenceNewTrack(*sequencer->sequence, &track) != noErr) return std::nullopt;
    return track;
}

} // namespace

MusicTrackManager::MusicTrackManager() : ownSequencer_(std::make_shared<AppleSequencer>()) {}

MusicTrackManager::MusicTrackManager(std::string name) : MusicTrackManager() {
    this->name = std::move(name);
    // Without a sequence nothing can be made; the manager stays without tracks.
    internalMusicTrack = newTrack(ownSequencer_);
    initMusicTrack = newTrack(ownSequencer_);
    trackPointer = internalMusicTrack;
    initTrackPointer = initMusicTrack;
    if (internalMusicTrack) nameTrack(*internalMusicTrack, "init(name:)");
}

MusicTrackManager::MusicTrackManager(MusicTrack musicTrack, std::string name) : MusicTrackManager() {
    this->name = std::move(name);
    internalMusicTrack = musicTrack;
    trackPointer = musicTrack;
    nameTrack(musicTrack, "init(musicTrack:name:)");
    initSequence();
}

MusicTrackManager::MusicTrackManager(MusicTrack musicTrack, std::shared_ptr<AppleSequencer> sequencer)
    : givenSequencer_(std::move(sequencer)) {
    internalMusicTrack = musicTrack;
    trackPointer = musicTrack;
    initSequence();
}

std::shared_ptr<AppleSequencer> MusicTrackManager::sequencer() const {
    return ownSequencer_ ? ownSequencer_ : givenSequencer_.lock();
}

void MusicTrackManager::setSequencer(std::shared_ptr<AppleSequencer> sequencer) {
    ownSequencer_.reset();
    givenSequencer_ = std::move(sequencer);
}

void MusicTrackManager::nameTrack(MusicTrack track, const char* function) {
    const auto buffer =
        makeMIDIMetaEvent(0x03, std::span(reinterpret_cast<const std::uint8_t*>(name.data()), name.size()));
    if (!buffer || MusicTrackNewMetaEvent(track, 0, buffer->get()) != noErr)
        Log({function}, "Unable to name Track");
}

bool MusicTrackManager::isNotEmpty() const {
    return !isEmpty();
}

double MusicTrackManager::length() const {
    return readLength(internalMusicTrack);
}

double MusicTrackManager::initLength() const {
    return readLength(initMusicTrack);
}

void MusicTrackManager::initSequence() {
    const auto host = sequencer();
    if (!host || !host->sequence) {
        Log({"initSequence()"}, "Sequence is nil");
        return;
    }
    initMusicTrack = newTrack(host);
    if (initMusicTrack && internalMusicTrack) {
        initTrackPointer = initMusicTrack;
        MusicTrackMerge(*internalMusicTrack, 0, length(), *initMusicTrack, 0);
    }
}

void MusicTrackManager::setDestinationNode(AUNode node) {
    if (internalMusicTrack) MusicTrackSetDestNode(*internalMusicTrack, node);
}

void MusicTrackManager::setLoopInfo(const Duration& duration, std::int64_t numberOfLoops) {
    if (!internalMusicTrack) return;
    // Counts beyond 32 bits keep the nearest count the record can hold.
    const auto count = static_cast<std::int32_t>(std::clamp<std::int64_t>(
        numberOfLoops, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
    MusicTrackLoopInfo info{duration.beats, count};
    MusicTrackSetProperty(*internalMusicTrack, kSequenceTrackProperty_LoopInfo, &info, sizeof info);
}

void MusicTrackManager::setLengthProperty(const Duration& duration) {
    if (internalMusicTrack) writeLength(*internalMusicTrack, duration.beats);
}

void MusicTrackManager::setLength(const Duration& duration) {
    const double newLength = duration.beats;
    if (!std::isfinite(newLength) || newLength < 0) {
        Log({"setLength(_:)"}, "Length must be finite and not negative: " + platform::describe(newLength));
        return;
    }
    if (!internalMusicTrack) {
        Log({"setLength(_:)"}, "internalMusicTrack does not exist");
        return;
    }
    const MusicTrack track = *internalMusicTrack;
    writeLength(track, newLength);
    MusicEventIterator iterator{};
    if (NewMusicEventIterator(track, &iterator) != noErr) {
        Log({"setLength(_:)"}, "Unable to create iterator in setLength");
        return;
    }
    // One walk: what starts at or after the length goes, notes sounding past it are cut.
    bool hasCurrent = false;
    while (MusicEventIteratorHasCurrentEvent(iterator, &hasCurrent) == noErr && hasCurrent) {
        MusicTimeStamp time = 0;
        MusicEventType type = 0;
        const void* data = nullptr;
        std::uint32_t size = 0;
        MusicEventIteratorGetEventInfo(iterator, &time, &type, &data, &size);
        if (!(time < newLength)) {
            MusicEventIteratorDeleteEvent(iterator);
            continue;
        }
        if (type == kMusicEventType_MIDINoteMessage) {
            if (!data || size < sizeof(MIDINoteMessage)) {
                Log({"setLength(_:)"}, "Problem with raw midi note message");
                break;
            }
            MIDINoteMessage note;
            std::memcpy(&note, data, sizeof note);
            if (time + double(note.duration) > newLength) {
                const MIDINoteMessage cut{note.channel, note.note, note.velocity, 0,
                                          static_cast<float>(newLength - time)};
                MusicEventIteratorSetEventInfo(iterator, kMusicEventType_MIDINoteMessage, &cut);
            }
        }
        MusicEventIteratorNextEvent(iterator);
    }
    DisposeMusicEventIterator(iterator);
    writeLength(track, newLength);
}

void MusicTrackManager::clear() {
    clearMetaEvents();
    if (internalMusicTrack && isNotEmpty()) MusicTrackClear(*internalMusicTrack, 0, length());
}

void MusicTrackManager::clearMetaEvents() {
    clearHelper(kMusicEventType_Meta, "clearMetaEvents");
}

void MusicTrackManager::clearSysExEvents() {
    clearHelper(kMusicEventType_MIDIRawData, "clearSysExEvents");
}

void MusicTrackManager::clearHelper(MusicEventType eventType, const std::string& from) {
    if (!internalMusicTrack) {
        Log({"clearHelper(_:from:)"}, "internalMusicTrack does not exist");
        return;
    }
    MusicEventIterator iterator{};
    if (NewMusicEventIterator(*internalMusicTrack, &iterator) != noErr) {
        Log({"clearHelper(_:from:)"}, "Unable to create iterator in " + from);
        return;
    }
    bool hasCurrent = false;
    while (MusicEventIteratorHasCurrentEvent(iterator, &hasCurrent) == noErr && hasCurrent) {
        MusicEventType type = 0;
        MusicEventIteratorGetEventInfo(iterator, nullptr, &type, nullptr, nullptr);
        if (type == eventType)
            MusicEventIteratorDeleteEvent(iterator);
        else
            MusicEventIteratorNextEvent(iterator);
    }
    DisposeMusicEventIterator(iterator);
}

void MusicTrackManager::clearNote(std::uint8_t note) {
    if (!internalMusicTrack) {
        Log({"clearNote(_:)"}, "internalMusicTrack does not exist");
        return;
    }
    MusicEventIterator iterator{};
    if (NewMusicEventIterator(*internalMusicTrack, &iterator) != noErr) {
        Log({"clearNote(_:)"}, "Unable to create iterator in clearNote");
        return;
    }
    bool hasCurrent = false;
    while (MusicEventIteratorHasCurrentEvent(iterator, &hasCurrent) == noErr && hasCurrent) {
        MusicEventType type = 0;
        const void* data = nullptr;
        std::uint32_t size = 0;
        MusicEventIteratorGetEventInfo(iterator, nullptr, &type, &data, &size);
        const bool matches = type == kMusicEventType_MIDINoteMessage && data && size >= 2 &&
                             static_cast<const std::uint8_t*>(data)[1] == note;
        if (matches)
            MusicEventIteratorDeleteEvent(iterator);
        else
            MusicEventIteratorNextEvent(iterator);
    }
    DisposeMusicEventIterator(iterator);
}

bool MusicTrackManager::isEmpty() const {
    if (!internalMusicTrack) {
        Log({"isEmpty"}, "internalMusicTrack does not exist");
        return true;
    }
    MusicEventIterator iterator{};
    if (NewMusicEventIterator(*internalMusicTrack, &iterator) != noErr) {
        Log({"isEmpty"}, "Unable to create iterator in isEmpty");
        return true;
    }
    bool hasCurrent = false;
    MusicEventIteratorHasCurrentEvent(iterator, &hasCurrent);
    DisposeMusicEventIterator(iterator);
    return !hasCurrent;
}

void MusicTrackManager::clearRange(const Duration& start, const Duration& duration) {
    if (internalMusicTrack && isNotEmpty())
        MusicTrackClear(*internalMusicTrack, start.beats, start.beats + duration.beats);
}

void MusicTrackManager::add(std::uint8_t noteNumber, std::uint8_t velocity, const Duration& position,
                            const Duration& duration, std::uint8_t channel) {
    if (!internalMusicTrack) {
        Log({"add(noteNumber:velocity:position:duration:channel:)"}, "internalMusicTrack does not exist");
        return;
    }
    const MIDINoteMessage message{channel, noteNumber, velocity, 0, static_cast<float>(duration.beats)};
    MusicTrackNewMIDINoteEvent(*internalMusicTrack, position.beats, &message);
}

void MusicTrackManager::add(const MIDINoteData& noteData) {
    add(noteData.noteNumber, noteData.velocity, noteData.position, noteData.duration, noteData.channel);
}

void MusicTrackManager::replaceNotes(const std::vector<MIDINoteData>& noteData) {
    clearRange(Duration(0), Duration(length()));
    for (const auto& note : noteData)
        add(note.noteNumber, note.velocity, note.position, note.duration, note.channel);
}

void MusicTrackManager::addChannelMessage(std::uint8_t status, std::uint8_t data1, std::uint8_t data2,
                                          const Duration& position) {
    const MIDIChannelMessage message{status, data1, data2, 0};
    MusicTrackNewMIDIChannelEvent(*internalMusicTrack, position.beats, &message);
}

void MusicTrackManager::addController(std::uint8_t controller, std::uint8_t value, const Duration& position,
                                      std::uint8_t channel) {
    if (!internalMusicTrack) {
        Log({"addController(_:value:position:channel:)"}, "internalMusicTrack does not exist");
        return;
    }
    addChannelMessage(std::uint8_t(0xB0 + (channel & 0x0F)), controller, value, position);
}

void MusicTrackManager::addAftertouch(std::uint8_t noteNumber, std::uint8_t pressure,
                                      const Duration& position, std::uint8_t channel) {
    if (!internalMusicTrack) {
        Log({"addAftertouch(_:pressure:position:channel:)"}, "internalMusicTrack does not exist");
        return;
    }
    addChannelMessage(std::uint8_t(0xA0 + (channel & 0x0F)), noteNumber, pressure, position);
}

void MusicTrackManager::addChannelAftertouch(std::uint8_t pressure, const Duration& position,
                                             std::uint8_t channel) {
    if (!internalMusicTrack) {
        Log({"addChannelAftertouch(pressure:position:channel:)"}, "internalMusicTrack does not exist");
        return;
    }
    addChannelMessage(std::uint8_t(0xD0 + (channel & 0x0F)), pressure, 0, position);
}

void MusicTrackManager::addSysEx(const std::vector<std::uint8_t>& data, const Duration& position) {
    if (!internalMusicTrack) {
        Log({"addSysEx(_:position:)"}, "internalMusicTrack does not exist");
        return;
    }
    if (data.size() > std::numeric_limits<std::uint32_t>::max()) {
        Log({"addSysEx(_:position:)"}, "Unable to insert raw midi data");
        return;
    }
    std::vector<std::uint32_t> storage((sizeof(MIDIRawData) + data.size() + 3) / 4, 0);
    auto* raw = reinterpret_cast<MIDIRawData*>(storage.data());
    raw->length = static_cast<std::uint32_t>(data.size());
    std::copy(data.begin(), data.end(), reinterpret_cast<std::uint8_t*>(storage.data()) + 4);
    if (MusicTrackNewMIDIRawDataEvent(*internalMusicTrack, position.beats, raw) != noErr)
        Log({"addSysEx(_:position:)"}, "Unable to insert raw midi data");
}

void MusicTrackManager::addPitchBend(unsigned value, const Duration& position, std::uint8_t channel) {
    if (!internalMusicTrack) {
        Log({"addPitchBend(_:position:channel:)"}, "internalMusicTrack does not exist");
        return;
    }
    addChannelMessage(std::uint8_t(0xE0 + (channel & 0x0F)), std::uint8_t(value & 0x7F),
                      std::uint8_t((value >> 7) & 0x7F), position);
}

void MusicTrackManager::resetPitchBend(const Duration& position, std::uint8_t channel) {
    addPitchBend(8192, position, channel);
}

std::vector<MIDINoteData> MusicTrackManager::getMIDINoteData() const {
    std::vector<MIDINoteData> notes;
    if (!internalMusicTrack) {
        Log({"getMIDINoteData()"}, "internalMusicTrack does not exist");
        return notes;
    }
    iterateMusicTrack(*internalMusicTrack, [&](MusicEventIterator, MusicTimeStamp time, MusicEventType type,
                                               const void* data, std::uint32_t size, bool&) {
        if (type != kMusicEventType_MIDINoteMessage) return;
        if (!data || size < sizeof(MIDINoteMessage)) {
            Log({"getMIDINoteData()"}, "Problem with raw midi note message");
            return;
        }
        MIDINoteMessage note;
        std::memcpy(&note, data, sizeof note);
        notes.push_back(MIDINoteData{note.note, note.velocity, note.channel, Duration(double(note.duration)),
                                     Duration(time)});
    });
    return notes;
}

void MusicTrackManager::copyAndMergeTo(MusicTrackManager& musicTrack) const {
    if (internalMusicTrack && musicTrack.internalMusicTrack)
        MusicTrackMerge(*internalMusicTrack, 0, length(), *musicTrack.internalMusicTrack, 0);
    else
        Log({"copyAndMergeTo(musicTrack:)"}, "internalMusicTrack does not exist");
}

std::shared_ptr<MusicTrackManager> MusicTrackManager::copy() const {
    auto copied = std::make_shared<MusicTrackManager>(std::string("Unnamed"));
    if (!internalMusicTrack || !copied->internalMusicTrack) return nullptr;
    MusicTrackMerge(*internalMusicTrack, 0, length(), *copied->internalMusicTrack, 0);
    return copied;
}

void MusicTrackManager::resetToInit() {
    const double kept = initLength();
    clear();
    if (internalMusicTrack && initMusicTrack) {
        setLength(Duration(initLength()));
        writeLength(*initMusicTrack, kept);
        MusicTrackMerge(*initMusicTrack, 0, length(), *internalMusicTrack, 0);
    }
}

void MusicTrackManager::setDestinationMIDIEndpoint(MIDIEndpointRef endpoint) {
    if (internalMusicTrack) MusicTrackSetDestMIDIEndpoint(*internalMusicTrack, endpoint);
}

} // namespace sonabel
