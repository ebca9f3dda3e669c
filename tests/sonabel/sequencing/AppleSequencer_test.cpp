#include "SequencingTestSupport.h"

#include "platform/sequence/BundleResources.h"
#include "sonabel/sequencing/AppleSequencer.h"
#include "sonabel/sequencing/MIDIMetaEventBuffer.h"

#include <cmath>
#include <filesystem>
#include <fstream>

using namespace sonabel;
using namespace sequencingtest;

namespace {

class AppleSequencerTest : public SequencingTest {
protected:
    // Two tracks of 8 and 12 beats.
    void fill(AppleSequencer& s) {
        s.newTrack("A")->add(60, 100, Duration(0), Duration(8));
        s.newTrack("B")->add(62, 100, Duration(4), Duration(8));
    }
    MusicTrack tempoTrack(const AppleSequencer& s) {
        MusicTrack t{};
        MusicSequenceGetTempoTrack(*s.sequence, &t);
        return t;
    }
    void moveTo(AppleSequencer& s, double beats) { s.setTime(beats); }
};

} // namespace

TEST_F(AppleSequencerTest, StartsEmptyAndNeutral) {
    AppleSequencer s;
    EXPECT_TRUE(s.tracks.empty());
    EXPECT_FALSE(s.loopEnabled());
    ASSERT_TRUE(s.sequence && s.musicPlayer);
    EXPECT_EQ(s.sequencePointer, s.sequence);
    EXPECT_EQ(s.length().beats, 0.0);
    EXPECT_EQ(s.length().tempo, 120.0);
    EXPECT_EQ(s.rate(), 1.0);
    EXPECT_EQ(s.currentPosition().beats, 0.0);
    EXPECT_EQ(s.currentPosition().tempo, 60.0);
    EXPECT_EQ(s.currentRelativePosition().beats, 0.0); // no length: no NaN
    EXPECT_EQ(s.timeResolution(), 480u);
    MusicTrackManager m;
    EXPECT_EQ(m.name, "Unnamed");
    EXPECT_TRUE(m.sequencer() && m.sequencer()->sequence);
    EXPECT_FALSE(m.internalMusicTrack || m.initMusicTrack || m.trackPointer || m.initTrackPointer);
}

TEST_F(AppleSequencerTest, LoopingAndLengthOverAllTracks) {
    AppleSequencer s;
    s.enableLooping(); // no tracks: only the flag
    EXPECT_TRUE(s.loopEnabled());
    s.disableLooping();
    fill(s);
    EXPECT_EQ(s.length().beats, 12.0);
    s.toggleLoop();
    EXPECT_EQ(loopInfo(*s.tracks[0]->internalMusicTrack).loopDuration, 12.0);
    s.toggleLoop();
    EXPECT_EQ(loopInfo(*s.tracks[1]->internalMusicTrack).loopDuration, 0.0);
    EXPECT_FALSE(s.loopEnabled());
    s.setLoopInfo(Duration(4), 3);
    EXPECT_EQ(loopInfo(*s.tracks[1]->internalMusicTrack).numberOfLoops, 3);
    EXPECT_TRUE(s.loopEnabled());
    s.setLength(Duration(6));
    EXPECT_EQ(s.length().beats, 6.0);
    double tempoLength = 0;
    std::uint32_t size = 8;
    MusicTrackGetProperty(tempoTrack(s), kSequenceTrackProperty_TrackLength, &tempoLength, &size);
    EXPECT_EQ(tempoLength, 6.0);
    EXPECT_EQ(note(events(*s.tracks[1]->internalMusicTrack)[1]).duration, 2.0f);
    // Tracks added later loop over the then-current length.
    s.newTrack("C");
    s.initTracks(); // no removeTracks(): every track gets a second manager
    EXPECT_EQ(s.tracks.size(), 6u);
    EXPECT_EQ(loopInfo(*s.tracks[5]->internalMusicTrack).loopDuration, 6.0);
}

TEST_F(AppleSequencerTest, TempoEventsClampLookupAndReplace) {
    AppleSequencer s;
    fill(s);
    s.addTimeSignatureEvent(0, TimeSignature{3}, 24, 8, false);
    const std::uint8_t marker[] = {'A'};
    MusicTrackNewMetaEvent(tempoTrack(s), 2, makeMIDIMetaEvent(0x06, marker)->get());
    s.addTempoEventAt(70, 20); // past the length
    s.setTempo(300);
    auto tempos = s.allTempoEvents();
    ASSERT_EQ(tempos.size(), 1u);
    EXPECT_EQ(tempos[0], std::make_pair(0.0, 280.0));
    // Only tempo events go: the time signature and the marker stay.
    EXPECT_EQ(s.allTimeSignatureEvents().size(), 1u);
    EXPECT_EQ(events(tempoTrack(s)).size(), 3u);
    s.setTempo(5);
    EXPECT_EQ(s.allTempoEvents()[0].second, 10.0);
    s.setTempo(90);
    EXPECT_EQ(s.tempo(), 90.0); // at position 0, on the event
    EXPECT_EQ(s.length().tempo, 90.0);
    s.setTempo(100);
    s.addTempoEventAt(140, 8);
    EXPECT_EQ(s.getTempo(7.99), 100.0);
    EXPECT_EQ(s.getTempo(8), 140.0);
    EXPECT_EQ(s.getTempo(20), 140.0);
    EXPECT_EQ(s.getTempo(-1), 120.0);
    moveTo(s, 7.5); // after the marker and the time signature: still the last tempo event
    EXPECT_EQ(s.tempo(), 100.0);
    moveTo(s, 8); // exactly on the event: that one
    EXPECT_EQ(s.tempo(), 140.0);
    moveTo(s, 9);
    EXPECT_EQ(s.tempo(), 140.0);
    MusicTrackClear(tempoTrack(s), 0, 100);
    EXPECT_EQ(s.tempo(), 120.0); // no tempo event at all
}

TEST_F(AppleSequencerTest, TimeSignatureEventsWriteReadAndSkipBadDenominators) {
    AppleSequencer s;
    EXPECT_EQ(s.getTimeSignature(3), TimeSignature{});
    s.addTimeSignatureEvent(0, TimeSignature{3, TimeSignature::TimeSignatureBottomValue::four}, 24, 8, false);
    s.addTimeSignatureEvent(4, TimeSignature{6, TimeSignature::TimeSignatureBottomValue::eight}, 36, 8,
                            false);
    const auto list = events(tempoTrack(s));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].time, 4.0);
    EXPECT_EQ((std::vector<std::uint8_t>(list[1].data.begin() + 8, list[1].data.end())),
              (std::vector<std::uint8_t>{6, 3, 36, 8}));
    EXPECT_EQ(s.getTimeSignature(3.9).topValue, 3);
    EXPECT_EQ(s.getTimeSignature(4).topValue, 6);
    const std::uint8_t bad0[] = {5, 0, 24, 8}, bad5[] = {5, 5, 24, 8};
    MusicTrackNewMetaEvent(tempoTrack(s), 1, makeMIDIMetaEvent(0x58, bad0)->get());
    MusicTrackNewMetaEvent(tempoTrack(s), 2, makeMIDIMetaEvent(0x58, bad5)->get());
    platform::ScopedLogCapture capture;
    EXPECT_EQ(s.allTimeSignatureEvents().size(), 2u);
    const auto lines = messages(capture);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("AppleSequencer.cpp:allTimeSignatureEvents:"), std::string::npos);
    EXPECT_NE(lines[0].find("Inavlid time signature bottom value"), std::string::npos);
    s.addTimeSignatureEvent(8, TimeSignature{7, TimeSignature::TimeSignatureBottomValue::sixteen}, 24, 8,
                            true);
    ASSERT_EQ(s.allTimeSignatureEvents().size(), 1u);
    EXPECT_EQ(s.getTimeSignature(9).description(), "7/16");
}

TEST_F(AppleSequencerTest, TimeConversionQuantisationAndHostTime) {
    AppleSequencer s;
    s.setTempo(120);
    EXPECT_EQ(s.duration(2).beats, 4.0);
    EXPECT_EQ(s.duration(-2).beats, -4.0);
    EXPECT_TRUE(std::signbit(s.duration(0).beats));
    EXPECT_EQ(s.seconds(Duration(-4)), -2.0);

    s.newTrack("L")->setLengthProperty(Duration(4));
    const auto at = [&](double rel, double q) {
        moveTo(s, rel);
        return std::make_tuple(s.previousQuantizedPosition(q).beats, s.nextQuantizedPosition(q).beats,
                               s.nearestQuantizedPosition(q).beats);
    };
    EXPECT_EQ(at(1.25, 1), std::make_tuple(1.0, 2.0, 1.0));
    EXPECT_EQ(std::get<2>(at(1.5, 1)), 2.0);
    EXPECT_EQ(at(3.25, 1), std::make_tuple(3.0, 0.0, 0.0));
    EXPECT_EQ(at(2.375, 0.5), std::make_tuple(2.0, 2.5, 2.5));
    EXPECT_EQ(at(5.25, 1), std::make_tuple(1.0, 2.0, 1.0)); // within the loop
    EXPECT_EQ(std::get<0>(at(1.25, 0)), 1.25);              // no grid: the position stands

    using Error = AppleSequencer::MusicPlayerTimeConversionError;
    try {
        s.hostTime(1);
        FAIL();
    } catch (const Error& e) {
        EXPECT_EQ(e.kind, Error::Kind::musicPlayerIsNotPlaying);
    }
    EXPECT_THROW(s.beats(clock.now()), Error);
    s.rewind();
    s.play();
    EXPECT_TRUE(s.isPlaying());
    EXPECT_EQ(s.hostTime(2), clock.now() + 1'000'000'000);
    EXPECT_EQ(s.beats(clock.now() + 500'000'000), 1.0);
    s.stop();
}

TEST_F(AppleSequencerTest, TrackListDeletionAndNoteCopies) {
    AppleSequencer s;
    fill(s);
    platform::ScopedLogCapture capture;
    s.deleteTrack(2);
    s.deleteTrack(-1);
    EXPECT_EQ(s.tracks.size(), 2u);
    s.deleteTrack(0);
    ASSERT_EQ(s.tracks.size(), 1u);
    EXPECT_EQ(s.trackCount(), 1);
    const auto lines = messages(capture);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(":deleteTrack(trackIndex:):"), std::string::npos);
    EXPECT_NE(lines[0].find("Can't get track for index"), std::string::npos);

    AppleSequencer source;
    fill(source);
    source.newTrack("silent");
    AppleSequencer target;
    target.newTrack("len")->setLengthProperty(Duration(6));
    target.addMusicTrackNoteData(source, true);
    ASSERT_EQ(target.tracks.size(), 3u); // the silent track gave none
    EXPECT_EQ(target.tracks[1]->getMIDINoteData().size(), 1u);
    EXPECT_EQ(target.tracks[2]->length(), 6.0);
    EXPECT_EQ(target.tracks[2]->getMIDINoteData()[0].duration.beats, 2.0);
    const auto name = events(*target.tracks[1]->internalMusicTrack)[0];
    EXPECT_EQ((std::string(name.data.begin() + 8, name.data.end())), "Unnamed");

    // From itself: the tracks it adds are not walked again.
    AppleSequencer itself;
    fill(itself);
    itself.addMusicTrackNoteData(itself, false);
    ASSERT_EQ(itself.tracks.size(), 4u);
    EXPECT_EQ(itself.tracks[3]->getMIDINoteData()[0].position.beats, 4.0);

    target.play();
    capture.clear();
    target.addMusicTrackNoteData(source, false);
    target.deleteTrack(0);
    EXPECT_EQ(target.tracks.size(), 3u);
    EXPECT_TRUE(contains(messages(capture), "Can't add tracks during playback"));
    EXPECT_TRUE(contains(messages(capture), "Can't delete sequencer track during playback"));
    target.stop();
}

TEST_F(AppleSequencerTest, FilesLoadFromDataAndURLAndWriteBack) {
    AppleSequencer s;
    fill(s);
    s.setTempo(90);
    s.addTimeSignatureEvent(0, TimeSignature{6, TimeSignature::TimeSignatureBottomValue::eight}, 36, 8, true);
    const auto data = s.genData();
    ASSERT_TRUE(data);
    const auto loaded = AppleSequencer::fromData(*data);
    ASSERT_EQ(loaded->tracks.size(), 2u);
    EXPECT_EQ(loaded->tracks[0]->name, "InitializedTrack");
    EXPECT_NEAR(loaded->getTempo(0), 90.0, 1e-4); // 666667 microseconds a beat
    EXPECT_EQ(loaded->getTimeSignature(0).description(), "6/8");
    EXPECT_EQ(loaded->tracks[1]->getMIDINoteData()[0].position.beats, 4.0);
    EXPECT_EQ(loaded->timeResolution(), 480u);

    const auto dir =
        std::filesystem::temp_directory_path() / ("apple-sequencer-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    {
        std::ofstream out(dir / "song.mid", std::ios::binary);
        out.write(reinterpret_cast<const char*>(data->data()), static_cast<std::streamsize>(data->size()));
        std::ofstream(dir / "junk.mid") << "not a MIDI file";
    }
    platform::BundleResources::setResourceDirectory(dir);
    const auto fromBundle = AppleSequencer::fromFile("song");
    EXPECT_EQ(fromBundle->tracks.size(), 2u);
    fromBundle->addMIDIFileTracks("song", false);
    EXPECT_EQ(fromBundle->tracks.size(), 4u);

    platform::ScopedLogCapture capture;
    fromBundle->loadMIDIFileFromURL(dir / "junk.mid");
    EXPECT_TRUE(fromBundle->tracks.empty()); // the old tracks went before the load
    auto lines = messages(capture);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("AppleSequencer.cpp:loadMIDIFile(fromURL:):", 0), 0u);
    EXPECT_NE(lines[0].find(":error reading midi file url: file://" + (dir / "junk.mid").string() +
                            ", read status: 1685348671 ("),
              std::string::npos);
    capture.clear();
    AppleSequencer::fromFile("absent");
    EXPECT_TRUE(contains(messages(capture), ":No midi file found ("));
    capture.clear();
    const std::vector<std::uint8_t> junk{1, 2, 3};
    s.loadMIDIFileFromData(junk);
    EXPECT_TRUE(contains(messages(capture), "error reading midi data, read status: 1685348671"));
    platform::BundleResources::setResourceDirectory(std::filesystem::path("resources"));
    std::filesystem::remove_all(dir);
}

TEST_F(AppleSequencerTest, PlaysItsTracksToTheirDestinations) {
    AppleSequencer s;
    s.newTrack("A")->add(60, 100, Duration(0), Duration(1));
    std::vector<std::vector<std::uint8_t>> sent;
    MusicTrackSetDestMIDIReceiver(*s.tracks[0]->internalMusicTrack, [&](const MusicTrackOutput& out) {
        sent.emplace_back(out.bytes.begin(), out.bytes.end());
    });
    s.play();
    clock.advance(600'000'000);
    MusicPlayerRenderUntil(*s.musicPlayer, clock.now());
    EXPECT_EQ(sent, (std::vector<std::vector<std::uint8_t>>{{0x90, 60, 100}, {0x80, 60, 0}}));
    EXPECT_EQ(s.currentPosition().beats, 1.2);
    s.stop();
    EXPECT_FALSE(s.isPlaying());
}
