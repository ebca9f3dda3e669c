#include "MIDIFileTestSupport.h"

#include "platform/core/LogSink.h"
#include "sonabel/midi/midifile/MIDIFileTrackNoteMap.h"
#include "sonabel/midi/midifile/MIDINoteData.h"

#include <gtest/gtest.h>

using namespace sonabel;
using namespace midifiletest;

namespace {
// A format-0 file of one track at 480 ticks per beat.
MIDIFile fileOf(const Bytes& body, std::uint16_t division = 480) {
    return MIDIFile("notes.mid", join({header(0, 1, division), track(body)}));
}

struct Note {
    double start, end;
    int number;
    bool operator==(const Note&) const = default;
};

std::vector<Note> notesOf(const MIDIFileTrackNoteMap& map) {
    std::vector<Note> notes;
    for (const auto& note : map.noteDurations()) {
        EXPECT_EQ(note->noteDuration, note->noteEndTime - note->noteStartTime);
        notes.push_back({note->noteStartTime, note->noteEndTime, note->noteNumber});
    }
    return notes;
}
} // namespace

TEST(MIDIFileTrackNoteMapTest, PairsOverlappingNotesInTheOrderTheyEnd) {
    // Ticks 0, 480, 960, 1440 at 480 per beat and a header of 1 tick per beat: times are beats.
    const MIDIFileTrackNoteMap map(
        fileOf(join({{0x00, 0x90, 60, 100, 0x83, 0x60, 64, 100, 0x83, 0x60, 0x80, 60, 0, 0x83, 0x60, 64, 0},
                     endOfTrack(0x60)}),
               1),
        0);
    EXPECT_EQ(notesOf(map), (std::vector<Note>{{0, 2, 60}, {1, 3, 64}}));
    EXPECT_EQ(map.loNote(), 60);
    EXPECT_EQ(map.hiNote(), 64);
    EXPECT_EQ(map.noteRange(), 5);
    EXPECT_EQ(map.endOfTrackBeats(), 3.2);
    EXPECT_EQ(map.trackNumber, 0);
}

TEST(MIDIFileTrackNoteMapTest, EndsStartsAndDroppedNotes) {
    // A note-on of velocity 0 ends; a second note-on restarts; an unended note is dropped; an end
    // without a start is ignored.
    const MIDIFileTrackNoteMap map(
        fileOf({0x00, 0x90, 60, 100,  0x81, 0x00, 60,   90,   0x81, 0x00, 60,   0,    0x00,
                0x80, 61,   0,  0x00, 62,   70,   0x00, 0x90, 63,   1,    0x00, 0x90, 64}),
        0);
    EXPECT_EQ(notesOf(map), (std::vector<Note>{{128.0 / 480 / 480, 256.0 / 480 / 480, 60}}));
    EXPECT_EQ(map.loNote(), 0);
    EXPECT_EQ(map.hiNote(), 0);
    EXPECT_EQ(map.noteRange(), 1);
}

TEST(MIDIFileTrackNoteMapTest, OnlyTheFirstChannelsCount) {
    const MIDIFileTrackNoteMap map(fileOf({0x00, 0x90, 60, 100, 0x00, 0x91, 62, 100, 0x00, 0x81, 60, 0,
                                           0x00, 0x80, 62, 0,   0x00, 0x81, 60, 0,   0x00, 0x80, 60, 0}),
                                   0);
    // 81 is the first note-off and ends 60 (channels are not part of the key); 80 then ends nothing.
    EXPECT_EQ(notesOf(map), (std::vector<Note>{{0, 0, 60}}));
}

TEST(MIDIFileTrackNoteMapTest, TimesAreBeatsDividedByTheHeaderTicks) {
    const MIDIFileTrackNoteMap map(fileOf({0x83, 0x60, 0x90, 60, 100, 0x83, 0x60, 0x80, 60, 0}, 96), 0);
    EXPECT_EQ(notesOf(map), (std::vector<Note>{{1.0 / 96, 2.0 / 96, 60}}));
    EXPECT_EQ(map.endOfTrackBeats(), 2.0 / 96);

    // SMPTE and zero divisions leave the beats as they are.
    EXPECT_EQ(notesOf(MIDIFileTrackNoteMap(
                  fileOf({0x83, 0x60, 0x90, 60, 100, 0x83, 0x60, 0x80, 60, 0}, 0xE728), 0)),
              (std::vector<Note>{{1, 2, 60}}));
    EXPECT_EQ(
        notesOf(MIDIFileTrackNoteMap(fileOf({0x83, 0x60, 0x90, 60, 100, 0x83, 0x60, 0x80, 60, 0}, 0), 0)),
        (std::vector<Note>{{1, 2, 60}}));
}

TEST(MIDIFileTrackNoteMapTest, PicksTheTrackWithinRange) {
    const MIDIFile file(
        "x.mid", join({header(1, 3, 480), track(endOfTrack()), track({0x00, 0x90, 60, 1, 0x00, 0x80, 60, 0}),
                       track({0x00, 0x90, 70, 1, 0x00, 0x80, 70, 0})}));
    const MIDIFileTrackNoteMap past(file, 5);
    EXPECT_EQ(past.trackNumber, 1);
    EXPECT_EQ(past.noteDurations().front()->noteNumber, 70);
    const MIDIFileTrackNoteMap below(file, -1);
    EXPECT_EQ(below.trackNumber, 0);
    EXPECT_EQ(below.noteDurations().front()->noteNumber, 60);
    EXPECT_EQ(MIDIFileTrackNoteMap(file, 1).midiTrack, past.midiTrack);
}

TEST(MIDIFileTrackNoteMapTest, FileWithoutTracksIsLoggedAndEmpty) {
    platform::ScopedLogCapture capture;
    const MIDIFileTrackNoteMap map(MIDIFile("x.mid", header(1, 1, 480)), 0);
    ASSERT_EQ(capture.entries().size(), 1u);
    const auto line = capture.entries()[0];
    EXPECT_EQ(line.category, "general");
    const auto where = "MIDIFileTrackNoteMap.cpp:init(midiFile:trackNumber:):";
    EXPECT_EQ(line.text.rfind(where, 0), 0u);
    EXPECT_NE(line.text.find(":No Tracks in the MIDI File ("), std::string::npos);
    EXPECT_TRUE(map.midiFile);
    EXPECT_FALSE(map.midiTrack);
    EXPECT_FALSE(map.trackNumber);
    EXPECT_TRUE(map.noteDurations().empty());
    EXPECT_EQ(map.endOfTrackBeats(), 0);
    EXPECT_EQ(map.noteRange(), 1);
}

TEST(MIDIFileTrackNoteMapTest, EndOfTrackWithoutNotesAndNotesWithoutEnd) {
    EXPECT_EQ(MIDIFileTrackNoteMap(fileOf(endOfTrack(0x60), 1), 0).endOfTrackBeats(), 0.2);
    EXPECT_EQ(MIDIFileTrackNoteMap(fileOf({0x00, 0xFF, 0x01, 0x00}, 1), 0).endOfTrackBeats(), 0);
    // A note-off cut short at the end of the track has no note number and ends nothing.
    const MIDIFileTrackNoteMap cut(fileOf({0x00, 0x90, 60, 1, 0x83, 0x60, 0x80}, 1), 0);
    EXPECT_TRUE(cut.noteDurations().empty());
}

TEST(MIDINoteDataTest, DescriptionAndEquality) {
    const MIDINoteData note{60, 100, 0, Duration(1), Duration(2.5)};
    EXPECT_EQ(note.description(), "note: 60\nvelocity: 100\nchannel: 0\nduration: 1.0\nposition: 2.5");
    EXPECT_EQ(note, (MIDINoteData{60, 100, 0, Duration(1, 140), Duration(2.5)}));
    EXPECT_NE(note, (MIDINoteData{60, 100, 1, Duration(1), Duration(2.5)}));
    EXPECT_NE(note, (MIDINoteData{60, 100, 0, Duration(1), Duration(0.25)}));
    EXPECT_EQ((MIDINoteData{1, 2, 3, Duration(0.25), Duration(0)}).description(),
              "note: 1\nvelocity: 2\nchannel: 3\nduration: 0.25\nposition: 0.0");
}

TEST(MIDINoteDurationTest, ConstructorAndDefaults) {
    const MIDINoteDuration note(1.5, 4.0, 61);
    EXPECT_EQ(note.noteStartTime, 1.5);
    EXPECT_EQ(note.noteEndTime, 4.0);
    EXPECT_EQ(note.noteDuration, 2.5);
    EXPECT_EQ(note.noteNumber, 61);
    EXPECT_EQ(note.noteNumberMap, 0);
    EXPECT_EQ(note.noteRange, 0);
}
