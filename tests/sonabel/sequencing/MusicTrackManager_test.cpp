#include "SequencingTestSupport.h"

#include "sonabel/sequencing/AppleSequencer.h"
#include "sonabel/sequencing/MIDIMetaEventBuffer.h"
#include "sonabel/sequencing/MusicTrackManager.h"

#include <cmath>

using namespace sonabel;
using namespace sequencingtest;

namespace {
class MusicTrackManagerTest : public SequencingTest {};

std::vector<std::uint8_t> bytes(const Event& e, std::size_t from = 0) {
    return {e.data.begin() + from, e.data.end()};
}
} // namespace

TEST_F(MusicTrackManagerTest, MetaEventRecordLayout) {
    const std::uint8_t data[] = {6, 3, 36, 8};
    const auto buffer = makeMIDIMetaEvent(0x58, data);
    ASSERT_TRUE(buffer);
    EXPECT_GE(buffer->size(), 16u);
    const auto* raw = reinterpret_cast<const std::uint8_t*>(buffer->get());
    EXPECT_EQ(raw[0], 0x58);
    EXPECT_EQ(buffer->get()->dataLength, 4u);
    EXPECT_EQ((std::vector<std::uint8_t>(raw + 8, raw + 12)), (std::vector<std::uint8_t>{6, 3, 36, 8}));
}

TEST_F(MusicTrackManagerTest, ConstructionNamesTracksAndTakesInitCopies) {
    MusicTrackManager named("Lead");
    ASSERT_TRUE(named.internalMusicTrack && named.initMusicTrack);
    EXPECT_EQ(named.trackPointer, named.internalMusicTrack);
    auto list = events(*named.internalMusicTrack);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].type, kMusicEventType_Meta);
    EXPECT_EQ(list[0].data[0], 3);
    EXPECT_EQ(bytes(list[0], 8), (std::vector<std::uint8_t>{'L', 'e', 'a', 'd'}));
    EXPECT_TRUE(events(*named.initMusicTrack).empty());

    AppleSequencer host;
    const auto track = host.newTrack("Bass");
    MusicTrackManager wrapped(*track->internalMusicTrack, std::string("Again"));
    EXPECT_EQ(events(*track->internalMusicTrack).size(), 2u); // two name events now
    EXPECT_EQ(events(*wrapped.initMusicTrack).size(), 2u);    // the copy of what it held

    MusicTrackManager plain(*track->internalMusicTrack, host.tracks[0]->sequencer());
    EXPECT_EQ(plain.name, "Unnamed");
    EXPECT_EQ(events(*track->internalMusicTrack).size(), 2u);

    MusicTrackManager none;
    EXPECT_EQ(none.length(), 0.0);
    EXPECT_EQ(none.initLength(), 0.0);
    platform::ScopedLogCapture capture;
    EXPECT_TRUE(none.isEmpty());
    EXPECT_FALSE(none.isNotEmpty());
    none.copyAndMergeTo(named);
    EXPECT_EQ(events(*named.internalMusicTrack).size(), 1u);
    EXPECT_TRUE(contains(messages(capture), "internalMusicTrack does not exist"));
}

TEST_F(MusicTrackManagerTest, InsertionRecordsAndTheirBoundaries) {
    MusicTrackManager m("T");
    m.clearMetaEvents();
    m.addPitchBend(0x3FFF, Duration(0), 2);
    m.addPitchBend(0x4000, Duration(1), 2);
    m.resetPitchBend(Duration(2), 2);
    m.addController(7, 100, Duration(3), 17);
    m.add(60, 100, Duration(4), Duration(0.1), 17);
    m.addSysEx({}, Duration(5));
    m.addChannelAftertouch(50, Duration(6), 1);
    const auto list = events(*m.internalMusicTrack);
    ASSERT_EQ(list.size(), 7u);
    EXPECT_EQ(bytes(list[0]), (std::vector<std::uint8_t>{0xE2, 0x7F, 0x7F, 0}));
    EXPECT_EQ(bytes(list[1]), (std::vector<std::uint8_t>{0xE2, 0, 0, 0}));
    EXPECT_EQ(bytes(list[2]), (std::vector<std::uint8_t>{0xE2, 0x00, 0x40, 0}));
    EXPECT_EQ(bytes(list[3]), (std::vector<std::uint8_t>{0xB1, 7, 100, 0}));
    EXPECT_EQ(note(list[4]).channel, 17);
    EXPECT_EQ(note(list[4]).duration, 0.1f);
    EXPECT_EQ(list[5].type, kMusicEventType_MIDIRawData);
    EXPECT_EQ(list[5].data.size(), 4u); // length 0
    EXPECT_EQ(bytes(list[6]), (std::vector<std::uint8_t>{0xD1, 50, 0, 0}));
}

TEST_F(MusicTrackManagerTest, ClearingByKindNoteAndRange) {
    MusicTrackManager m("T");
    m.add(60, 100, Duration(0), Duration(1), 0);
    m.add(60, 100, Duration(0), Duration(1), 5); // two of the deleted kind in a row
    m.addAftertouch(60, 30, Duration(1));
    m.add(61, 100, Duration(2), Duration(1));
    m.addSysEx({0xF0, 0x7E, 0xF7}, Duration(3));
    m.clearNote(60);
    auto list = events(*m.internalMusicTrack);
    ASSERT_EQ(list.size(), 4u); // name, aftertouch, 61, sysex
    m.clearSysExEvents();
    EXPECT_EQ(events(*m.internalMusicTrack).size(), 3u);
    m.clearMetaEvents();
    EXPECT_EQ(events(*m.internalMusicTrack).size(), 2u);
    m.clearRange(Duration(1), Duration(1));
    EXPECT_EQ(events(*m.internalMusicTrack).size(), 1u);
    m.addController(1, 2, Duration(9)); // an instant at the track's end
    m.clear();
    EXPECT_TRUE(m.isEmpty());
    MusicTrackManager empty("E");
    empty.clearMetaEvents();
    empty.clearRange(Duration(0), Duration(4)); // nothing to do on an empty track
    EXPECT_TRUE(empty.isEmpty());
}

TEST_F(MusicTrackManagerTest, NotesReadBackInTimeOrderWithoutReleaseVelocity) {
    MusicTrackManager m("T");
    m.add(64, 90, Duration(2), Duration(0.1), 3);
    m.addController(7, 1, Duration(0.5));
    const MIDINoteMessage released{1, 60, 80, 64, 0.5f};
    MusicTrackNewMIDINoteEvent(*m.internalMusicTrack, 1, &released);
    const auto notes = m.getMIDINoteData();
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0].noteNumber, 60);
    EXPECT_EQ(notes[0].position.beats, 1.0);
    EXPECT_EQ(notes[1].channel, 3);
    EXPECT_EQ(notes[1].duration.beats, 0.10000000149011612);
    EXPECT_EQ(notes[1].duration.tempo, 60.0);
}

TEST_F(MusicTrackManagerTest, SetLengthCutsNotesThatEndPastIt) {
    MusicTrackManager m("T");
    m.add(60, 100, Duration(2), Duration(4));
    const MIDINoteMessage exact{0, 61, 100, 64, 3};
    MusicTrackNewMIDINoteEvent(*m.internalMusicTrack, 1, &exact);
    m.addController(7, 1, Duration(5)); // past the new length
    m.setLength(Duration(4));
    EXPECT_EQ(m.length(), 4.0);
    const auto list = events(*m.internalMusicTrack);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].type, kMusicEventType_Meta); // the name survives
    EXPECT_EQ(note(list[1]).duration, 3.0f);
    EXPECT_EQ(note(list[1]).releaseVelocity, 64);
    EXPECT_EQ(list[2].time, 2.0);
    EXPECT_EQ(note(list[2]).duration, 2.0f);
    EXPECT_EQ(note(list[2]).releaseVelocity, 0);

    MusicTrackManager empty("E");
    empty.clear();
    empty.setLength(Duration(8));
    EXPECT_EQ(empty.length(), 8.0);
    EXPECT_TRUE(empty.isEmpty());
}

TEST_F(MusicTrackManagerTest, SetLengthKeepsExactlyTheEventsBeforeIt) {
    MusicTrackManager m("T");
    m.add(60, 100, Duration(1), Duration(6)); // kept, cut, and reaching past the length before
    m.addController(7, 1, Duration(4));       // exactly at the length: goes
    m.add(62, 100, Duration(4), Duration(1));
    m.setLength(Duration(4));
    auto list = events(*m.internalMusicTrack);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(note(list[1]).duration, 3.0f);
    EXPECT_EQ(m.length(), 4.0);

    platform::ScopedLogCapture capture;
    for (double bad : {-1.0, std::nan(""), double(INFINITY)})
        m.setLength(Duration(bad));
    EXPECT_EQ(events(*m.internalMusicTrack).size(), 2u);
    EXPECT_EQ(m.length(), 4.0);
    const auto lines = messages(capture);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("MusicTrackManager.cpp:setLength(_:):", 0), 0u);
    EXPECT_NE(lines[0].find(":Length must be finite and not negative: -1.0 ("), std::string::npos);

    m.setLength(Duration(0)); // the name goes too
    EXPECT_TRUE(m.isEmpty());
    EXPECT_EQ(m.length(), 0.0);
}

TEST_F(MusicTrackManagerTest, TheLengthReadsBackNoShorterThanTheEvents) {
    MusicTrackManager m("T");
    m.add(60, 100, Duration(0), Duration(1));
    m.add(62, 100, Duration(5), Duration(1));
    m.setLengthProperty(Duration(2));
    EXPECT_EQ(events(*m.internalMusicTrack).size(), 3u); // writing it removes nothing
    EXPECT_EQ(m.length(), 6.0);
    const auto copied = m.copy();
    ASSERT_TRUE(copied);
    EXPECT_EQ(copied->getMIDINoteData().size(), 2u);
    m.setLengthProperty(Duration(9));
    EXPECT_EQ(m.length(), 9.0);
    m.setLengthProperty(Duration(1));
    m.clear();
    EXPECT_TRUE(m.isEmpty());
}

TEST_F(MusicTrackManagerTest, HoldsTheSequencerItMadeStronglyAndAGivenOneWeakly) {
    MusicTrackManager own("Own");
    EXPECT_TRUE(own.sequencer() && own.sequencer()->sequence);

    auto host = std::make_shared<AppleSequencer>();
    const auto track = host->newTrack("Keys");
    host->tracks.push_back(std::make_shared<MusicTrackManager>(*track->internalMusicTrack, host));
    EXPECT_EQ(host->tracks.back()->sequencer(), host);
    const auto manager = host->tracks.back();
    std::weak_ptr<AppleSequencer> watch = host;
    host.reset();
    EXPECT_TRUE(watch.expired()); // no cycle through its own managers
    EXPECT_FALSE(manager->sequencer());
}

TEST_F(MusicTrackManagerTest, ReplaceNotesAndResetToInit) {
    MusicTrackManager m("T");
    m.add(60, 100, Duration(0), Duration(1));
    m.addController(7, 1, Duration(10));
    m.setLengthProperty(Duration(8));
    m.replaceNotes({MIDINoteData{62, 90, 0, Duration(0.5), Duration(1)}});
    auto list = events(*m.internalMusicTrack);
    ASSERT_EQ(list.size(), 1u); // the length reaches the controller at 10: the range took it too
    EXPECT_EQ(note(list[0]).note, 62);

    MusicTrackManager fresh("F"); // empty init copy
    fresh.add(60, 100, Duration(1), Duration(1));
    fresh.resetToInit();
    EXPECT_TRUE(fresh.isEmpty());
    EXPECT_EQ(fresh.length(), 0.0);

    AppleSequencer host;
    const auto track = host.newTrack("Keys");
    track->add(48, 100, Duration(0), Duration(2));
    MusicTrackManager wrapped(*track->internalMusicTrack, std::string("Keys"));
    const auto before = events(*track->internalMusicTrack);
    wrapped.add(72, 100, Duration(1), Duration(0.5));
    wrapped.resetToInit();
    wrapped.resetToInit(); // repeatable
    const auto after = events(*track->internalMusicTrack);
    ASSERT_EQ(after.size(), before.size());
    for (std::size_t i = 0; i < after.size(); ++i)
        EXPECT_EQ(after[i].data, before[i].data);
}

TEST_F(MusicTrackManagerTest, CopyAndLoopInfo) {
    MusicTrackManager m("Src");
    m.add(60, 100, Duration(1), Duration(1));
    const auto copied = m.copy();
    ASSERT_TRUE(copied);
    const auto list = events(*copied->internalMusicTrack);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(bytes(list[0], 8), (std::vector<std::uint8_t>{'U', 'n', 'n', 'a', 'm', 'e', 'd'}));
    EXPECT_EQ(bytes(list[1], 8), (std::vector<std::uint8_t>{'S', 'r', 'c'}));
    m.setLoopInfo(Duration(3.5), 0);
    EXPECT_EQ(loopInfo(*m.internalMusicTrack).loopDuration, 3.5);
    EXPECT_EQ(loopInfo(*m.internalMusicTrack).numberOfLoops, 0);
    m.setLoopInfo(Duration(1), std::int64_t{1} << 40); // held at the record's limit
    EXPECT_EQ(loopInfo(*m.internalMusicTrack).numberOfLoops, INT32_MAX);
}

TEST_F(MusicTrackManagerTest, EventViewsAndDebugLines) {
    MusicTrackManager m("T");
    m.clearMetaEvents();
    m.addController(7, 100, Duration(0));
    m.add(60, 100, Duration(1), Duration(0.5), 0);
    const MIDIChannelMessage program{0xC3, 37, 0, 0};
    MusicTrackNewMIDIChannelEvent(*m.internalMusicTrack, 2, &program);
    const MIDIChannelMessage system{0xF8, 0, 0, 0};
    MusicTrackNewMIDIChannelEvent(*m.internalMusicTrack, 2.5, &system);
    MusicTrackNewExtendedTempoEvent(*m.internalMusicTrack, 3, 90);
    const std::uint8_t data[] = {6, 3, 36, 8};
    MusicTrackNewMetaEvent(*m.internalMusicTrack, 3, makeMIDIMetaEvent(0x58, data)->get());
    EXPECT_EQ(m.programChangeEvents(), (std::vector<MIDIProgramChangeEvent>{{2.0, 3, 37}}));
    EXPECT_EQ(m.noteEventData()->size(), 1u);
    EXPECT_EQ(m.getRawEventData(kMusicEventType_ExtendedTempo)->size(), 1u);
    platform::ScopedLogCapture capture;
    m.debug();
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_NE(lines[0].find("MusicTrack+Events.cpp:debug():"), std::string::npos);
    EXPECT_NE(lines[0].find(":MIDI Channel Message @0.0 data1:7 data2:100 status:Control Change ("),
              std::string::npos);
    EXPECT_NE(lines[1].find(":MIDI Note @:1.0 note:60 velocity:100 duration:0.5 channel:0 ("),
              std::string::npos);
    EXPECT_NE(lines[2].find(":MIDI Program Change @ 2.0 - program: 37 - channel: 3 ("), std::string::npos);
    EXPECT_NE(lines[3].find(":MIDI Event @ 3.0 ("), std::string::npos);
    EXPECT_NE(lines[4].find(":MIDI Meta @ 3.0 - size: 4 - type: 88 - data: 6 ("), std::string::npos);
    capture.clear();
    MusicTrackManager none;
    EXPECT_FALSE(none.eventData());
    none.debug();
    ASSERT_EQ(capture.lines().size(), 2u); // eventData and debug, once each
    EXPECT_NE(capture.lines()[1].find(":getRawEventData(ofType:):"), std::string::npos);
    EXPECT_NE(capture.lines()[1].find("debug failed - track doesn't exist"), std::string::npos);
}
