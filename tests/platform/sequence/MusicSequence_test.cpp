#include "platform/sequence/MusicSequenceServices.h"
#include "testing/TrackEvents.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

using sequencetest::Event;
using sequencetest::events;

double trackLength(MusicTrack track) {
    double length = -1;
    std::uint32_t size = 8;
    MusicTrackGetProperty(track, kSequenceTrackProperty_TrackLength, &length, &size);
    return length;
}

void addNote(MusicTrack track, double at, std::uint8_t note, float duration, std::uint8_t channel = 0) {
    const MIDINoteMessage message{channel, note, 100, 64, duration};
    ASSERT_EQ(MusicTrackNewMIDINoteEvent(track, at, &message), noErr);
}

class MusicSequenceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(NewMusicSequence(&sequence), noErr);
        ASSERT_EQ(MusicSequenceNewTrack(sequence, &track), noErr);
    }
    void TearDown() override { DisposeMusicSequence(sequence); }
    MusicSequence sequence{};
    MusicTrack track{};
};

} // namespace

TEST_F(MusicSequenceTest, EventsKeepTimeOrderAndTheLengthGrowsToTheirEnd) {
    addNote(track, 2, 62, 1.5f);
    addNote(track, 1, 60, 0.5f);
    const MIDIChannelMessage cc{0xB0, 7, 100, 0};
    MusicTrackNewMIDIChannelEvent(track, 1, &cc); // after the note already at 1
    const auto list = events(track);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].type, kMusicEventType_MIDINoteMessage);
    EXPECT_EQ(list[1].type, kMusicEventType_MIDIChannelMessage);
    EXPECT_EQ(list[2].time, 2.0);
    EXPECT_EQ(trackLength(track), 3.5);

    // Set shorter than the events, it reads back their end; the events stay.
    double shorter = 2, longer = 5;
    EXPECT_EQ(MusicTrackSetProperty(track, kSequenceTrackProperty_TrackLength, &shorter, 8), noErr);
    EXPECT_EQ(trackLength(track), 3.5);
    EXPECT_EQ(events(track).size(), 3u);
    EXPECT_EQ(MusicTrackSetProperty(track, kSequenceTrackProperty_TrackLength, &longer, 8), noErr);
    EXPECT_EQ(trackLength(track), 5.0);
}

TEST_F(MusicSequenceTest, RangesTakeTheEndOnlyWhenItReachesTheLength) {
    addNote(track, 0, 60, 1);
    addNote(track, 1, 61, 1);
    addNote(track, 2, 62, 1);
    const MIDIChannelMessage cc{0xB0, 7, 100, 0};
    MusicTrackNewMIDIChannelEvent(track, 3, &cc); // length 3: an instant at the end
    EXPECT_EQ(MusicTrackClear(track, 1, 2), noErr);
    EXPECT_EQ(events(track).size(), 3u);
    EXPECT_EQ(MusicTrackClear(track, 0, trackLength(track)), noErr);
    EXPECT_TRUE(events(track).empty());
    EXPECT_EQ(MusicTrackClear(track, 5, 1), noErr); // a reversed range takes nothing
}

TEST_F(MusicSequenceTest, CopyInsertMovesLaterEventsMergeDoesNot) {
    MusicTrack other;
    MusicSequenceNewTrack(sequence, &other);
    addNote(track, 0, 60, 1);
    addNote(track, 1, 61, 1);
    addNote(other, 0.5, 70, 0.25f);
    EXPECT_EQ(MusicTrackCopyInsert(track, 0, 2, other, 0), noErr);
    auto list = events(other);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[2].time, 2.5); // moved by the range's 2 beats
    MusicTrack third;
    MusicSequenceNewTrack(sequence, &third);
    addNote(third, 0.5, 70, 0.25f);
    EXPECT_EQ(MusicTrackMerge(track, 0, 2, third, 4), noErr);
    list = events(third);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].time, 0.5);
    EXPECT_EQ(list[1].time, 4.0);
    EXPECT_EQ(list[2].time, 5.0);
}

TEST_F(MusicSequenceTest, IteratorDeletesSeeksAndStepsBack) {
    for (int i = 0; i < 4; ++i)
        addNote(track, i, std::uint8_t(60 + i), 1);
    MusicEventIterator it;
    NewMusicEventIterator(track, &it);
    EXPECT_EQ(MusicEventIteratorSeek(it, 1.5), noErr);
    MusicTimeStamp time = 0;
    MusicEventIteratorGetEventInfo(it, &time, nullptr, nullptr, nullptr);
    EXPECT_EQ(time, 2.0);
    EXPECT_EQ(MusicEventIteratorDeleteEvent(it), noErr);
    MusicEventIteratorGetEventInfo(it, &time, nullptr, nullptr, nullptr);
    EXPECT_EQ(time, 3.0); // the next became current
    bool has = false;
    MusicEventIteratorHasPreviousEvent(it, &has);
    EXPECT_TRUE(has);
    MusicEventIteratorPreviousEvent(it);
    MusicEventIteratorGetEventInfo(it, &time, nullptr, nullptr, nullptr);
    EXPECT_EQ(time, 1.0);
    MusicEventIteratorSeek(it, 10);
    MusicEventIteratorHasCurrentEvent(it, &has);
    EXPECT_FALSE(has);
    EXPECT_EQ(MusicEventIteratorGetEventInfo(it, &time, nullptr, nullptr, nullptr),
              kAudioToolboxErr_EndOfTrack);
    DisposeMusicEventIterator(it);
}

TEST_F(MusicSequenceTest, DisposedHandlesAreRefused) {
    MusicEventIterator it;
    NewMusicEventIterator(track, &it);
    EXPECT_EQ(MusicSequenceDisposeTrack(sequence, track), noErr);
    bool has = true;
    EXPECT_NE(MusicEventIteratorHasCurrentEvent(it, &has), noErr);
    EXPECT_EQ(MusicTrackClear(track, 0, 1), kAudioToolboxErr_TrackNotFound);
    EXPECT_EQ(MusicSequenceDisposeTrack(sequence, track), kAudioToolboxErr_TrackNotFound);
    MusicTrack tempo;
    MusicSequenceGetTempoTrack(sequence, &tempo);
    EXPECT_EQ(MusicSequenceDisposeTrack(sequence, tempo), kAudioToolboxErr_TrackNotFound);
    DisposeMusicEventIterator(it);
    MusicSequence gone;
    NewMusicSequence(&gone);
    DisposeMusicSequence(gone);
    EXPECT_EQ(MusicSequenceNewTrack(gone, &track), kAudioToolboxErr_NoSequence);
}

TEST_F(MusicSequenceTest, TempoMapConvertsBeatsAndSeconds) {
    MusicTrack tempo;
    MusicSequenceGetTempoTrack(sequence, &tempo);
    double seconds = 0;
    MusicSequenceGetSecondsForBeats(sequence, 4, &seconds);
    EXPECT_EQ(seconds, 2.0); // 120 without tempo events
    MusicTrackNewExtendedTempoEvent(tempo, 0, 60);
    MusicTrackNewExtendedTempoEvent(tempo, 4, 240);
    MusicSequenceGetSecondsForBeats(sequence, 8, &seconds);
    EXPECT_EQ(seconds, 5.0);
    MusicTimeStamp beats = 0;
    MusicSequenceGetBeatsForSeconds(sequence, 4.5, &beats);
    EXPECT_EQ(beats, 6.0);
    EXPECT_EQ(MusicTrackNewExtendedTempoEvent(tempo, 0, 0), kAudio_ParamError);
}
