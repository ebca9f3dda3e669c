#pragma once
// The notes of one track of a MIDI file, paired from note-ons and note-offs, with the lowest and
// highest note. Everything is recomputed from the file on each call.
#include "sonabel/midi/midifile/MIDIFile.h"
#include "sonabel/midi/midifile/MIDIFileTrack.h"
#include "sonabel/midi/midifile/MIDINoteDuration.h"

#include <memory>
#include <optional>
#include <vector>

namespace sonabel {

class MIDIFileTrackNoteMap {
public:
    std::optional<MIDIFileTrack> midiTrack;
    std::optional<MIDIFile> midiFile;
    // Index of midiTrack in the file's tracks.
    std::optional<int> trackNumber;

    // Picks the track at trackNumber, the last one past the end, the first one below zero. A file
    // without tracks is logged and leaves the map without a track: no notes, ends at 0.
    MIDIFileTrackNoteMap(MIDIFile midiFile, int trackNumber);
    virtual ~MIDIFileTrackNoteMap() = default;

    // Lowest and highest note when there are two notes or more; 0 otherwise.
    virtual int loNote() const;
    virtual int hiNote() const;
    // hiNote - loNote + 1.
    virtual int noteRange() const;
    // Where the track ends, in the unit of noteDurations: the later of the End of Track event and
    // the last note's end; 0 with neither.
    virtual double endOfTrackBeats() const;
    // In the order the notes end. Only the channel of the track's first note-on starts notes, only
    // that of its first note-off (or a note-on of velocity 0) ends them; notes left open are
    // dropped. Times are positions in beats divided by the file's ticks per beat.
    virtual std::vector<std::shared_ptr<MIDINoteDuration>> noteDurations() const;

private:
    double ticksPerBeat() const;
};

} // namespace sonabel
