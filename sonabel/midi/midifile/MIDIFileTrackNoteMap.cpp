#include "sonabel/midi/midifile/MIDIFileTrackNoteMap.h"

#include "sonabel/internals/error_handling/Log.h"
#include "sonabel/midi/MIDICustomMetaEventType.h"
#include "sonabel/midi/MIDIStatusType.h"

#include <algorithm>
#include <array>
#include <optional>

namespace sonabel {

MIDIFileTrackNoteMap::MIDIFileTrackNoteMap(MIDIFile file, int number) : midiFile(std::move(file)) {
    // The file's tracks() without copying every track to keep one.
    auto chunks = midiFile->trackChunks();
    const std::size_t first = midiFile->headerChunk() && midiFile->format() == 1 && !chunks.empty() ? 1 : 0;
    if (chunks.size() <= first) {
        Log({"init(midiFile:trackNumber:)"}, "No Tracks in the MIDI File");
        return;
    }
    const int last = static_cast<int>(chunks.size() - first) - 1;
    const int chosen = std::clamp(number, 0, last);
    trackNumber = chosen;
    midiTrack = MIDIFileTrack{std::move(chunks[first + static_cast<std::size_t>(chosen)])};
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
    std::array<std::optional<double>, 128> open; // start time by note number, whatever the channel
    MIDIByte noteOnStatus = 0;
    MIDIByte noteOffStatus = 0;
    // The track's channel events, read in place: byte k of the message as its MIDIEvent holds it
    // (the running status put back, data bytes masked to 7 bits).
    const auto& chunk = midiTrack->chunk;
    chunk.forEachTrackEvent([&](const MIDIFileTrackChunk::EventView& event) {
        const auto first = event.firstByte();
        if (!first || *first < 0x80 || *first >= 0xF0) return;
        const MIDIByte status = *first;
        const auto own = event.eventData();
        const std::size_t offset = event.runningStatus ? 1 : 0;
        const std::size_t size = own.size() + offset;
        const auto dataByte = [&](std::size_t k) { return static_cast<MIDIByte>(own[k - offset] & 0x7F); };

        const auto kind = MIDIStatusType::from(status);
        if (noteOnStatus == 0 && kind == MIDIStatusType::noteOn) noteOnStatus = status;
        if (noteOffStatus == 0 && kind == MIDIStatusType::noteOff) noteOffStatus = status;
        // A message cut short at the end of the track has no note number.
        if (size < 2) return;
        const MIDIByte noteNumber = dataByte(1);
        const MIDIByte velocity = size >= 3 ? dataByte(2) : 0;
        const double time = event.positionInBeats(chunk).value_or(1.0) / divisor;

        bool ends = status == noteOffStatus;
        if (status == noteOnStatus) {
            if (size >= 3 && velocity == 0) {
                ends = true;
            } else {
                open[noteNumber] = time;
                return;
            }
        }
        if (!ends || !open[noteNumber]) return;
        notes.push_back(std::make_shared<MIDINoteDuration>(*open[noteNumber], time, noteNumber));
        open[noteNumber].reset();
    });
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
