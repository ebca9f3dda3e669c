#include "sonabel/midi/midifile/MIDIFileTrackNoteMap.h"

#include "sonabel/internals/error_handling/Log.h"
#include "sonabel/midi/MIDICustomMetaEventType.h"
#include "sonabel/midi/MIDIStatusType.h"

#include <algorithm>
#include <map>

namespace sonabel {

MIDIFileTrackNoteMap::MIDIFileTrackNoteMap(MIDIFile file, int number) : midiFile(std::move(file)) {
    auto tracks = midiFile->tracks();
    if (tracks.empty()) {
        Log({"init(midiFile:trackNumber:)"}, "No Tracks in the MIDI File");
        return;
    }
    const int last = static_cast<int>(tracks.size()) - 1;
    const int chosen = std::clamp(number, 0, last);
    trackNumber = chosen;
    midiTrack = std::move(tracks[static_cast<std::size_t>(chosen)]);
}

double MIDIFileTrackNoteMap::ticksPerBeat() const {
    const auto header = midiFile ? midiFile->headerChunk() : std::nullopt;
    if (!header || (header->timeDivision() & 0x8000)) return 1;
    // A division of 0 would make every time infinite.
    const int ticks = header->timeDivision() & 0x7FFF;
    return ticks == 0 ? 1 : ticks;
}

std::vector<std::shared_ptr<MIDINoteDuration>> MIDIFileTrackNoteMap::noteDurations() const {
    std::vector<std::shared_ptr<MIDINoteDuration>> notes;
    if (!midiTrack) return notes;
    const double divisor = ticksPerBeat();
    std::map<int, double> open; // start time by note number, whatever the channel
    MIDIByte noteOnStatus = 0;
    MIDIByte noteOffStatus = 0;
    for (const auto& event : midiTrack->channelEvents()) {
        const MIDIByte status = event.data[0];
        const auto kind = MIDIStatusType::from(status);
        if (noteOnStatus == 0 && kind == MIDIStatusType::noteOn) noteOnStatus = status;
        if (noteOffStatus == 0 && kind == MIDIStatusType::noteOff) noteOffStatus = status;
        // A message cut short at the end of the track has no note number.
        if (event.data.size() < 2) continue;
        const int noteNumber = event.data[1];
        const MIDIByte velocity = event.data.size() >= 3 ? event.data[2] : 0;
        const double time = event.positionInBeats.value_or(1.0) / divisor;

        bool ends = status == noteOffStatus;
        if (status == noteOnStatus) {
            if (event.data.size() >= 3 && velocity == 0) {
                ends = true;
            } else {
                open[noteNumber] = time;
                continue;
            }
        }
        if (!ends) continue;
        if (const auto start = open.find(noteNumber); start != open.end()) {
            notes.push_back(std::make_shared<MIDINoteDuration>(start->second, time, noteNumber));
            open.erase(start);
        }
    }
    return notes;
}

int MIDIFileTrackNoteMap::loNote() const {
    const auto notes = noteDurations();
    if (notes.size() < 2) return 0;
    return (*std::min_element(notes.begin(), notes.end(),
                              [](const auto& a, const auto& b) { return a->noteNumber < b->noteNumber; }))
        ->noteNumber;
}

int MIDIFileTrackNoteMap::hiNote() const {
    const auto notes = noteDurations();
    if (notes.size() < 2) return 0;
    return (*std::max_element(notes.begin(), notes.end(),
                              [](const auto& a, const auto& b) { return a->noteNumber < b->noteNumber; }))
        ->noteNumber;
}

int MIDIFileTrackNoteMap::noteRange() const {
    return hiNote() - loNote() + 1;
}

double MIDIFileTrackNoteMap::endOfTrackBeats() const {
    if (!midiTrack) return 0;
    const double divisor = ticksPerBeat();
    double end = 0;
    for (const auto& meta : midiTrack->metaEvents())
        if (meta.type == MIDICustomMetaEventType::endOfTrack && meta.positionInBeats)
            end = std::max(end, *meta.positionInBeats / divisor);
    const auto notes = noteDurations();
    if (!notes.empty()) end = std::max(end, notes.back()->noteEndTime);
    return end;
}

} // namespace sonabel
