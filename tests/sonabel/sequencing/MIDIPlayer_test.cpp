#include "SequencingTestSupport.h"

#include "platform/sequence/BundleResources.h"
#include "sonabel/midi/MIDIPlayer.h"
#include "sonabel/sequencing/AppleSequencer.h"

#include <cmath>
#include <fstream>

using namespace sonabel;
using namespace sequencingtest;

namespace {

class MIDIPlayerTest : public SequencingTest {
protected:
    // A file with tracks of 8 and 12 beats.
    std::vector<std::uint8_t> twoTracks() {
        AppleSequencer s;
        s.newTrack("A")->add(60, 100, Duration(0), Duration(8));
        s.newTrack("B")->add(62, 100, Duration(4), Duration(8));
        return *s.genData();
    }
};

} // namespace

TEST_F(MIDIPlayerTest, DefaultsAndAbsentFiles) {
    platform::ScopedLogCapture capture;
    MIDIPlayer player(nullptr, "no such file");
    EXPECT_EQ(player.tempo, 120.0);
    EXPECT_FALSE(player.loopEnabled);
    EXPECT_TRUE(player.tracks().empty());
    EXPECT_EQ(player.length().beats, 0.0);
    EXPECT_EQ(player.currentRelativePosition().beats, 0.0); // no tracks: no NaN
    player.enableLooping();
    EXPECT_TRUE(player.loopEnabled);
    player.toggleLoop();
    player.toggleLoop();
    player.toggleLoop();
    EXPECT_FALSE(player.loopEnabled);
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(MIDIPlayerTest, LoopsLengthAndPositionsOverAllTracks) {
    MIDIPlayer player(nullptr, "");
    player.sequence(twoTracks());
    ASSERT_EQ(player.tracks().size(), 2u);
    player.tempo = 90;
    EXPECT_EQ(player.length().beats, 12.0);
    EXPECT_EQ(player.length().tempo, 90.0);
    player.enableLooping();
    for (const auto& track : player.tracks()) {
        EXPECT_TRUE(track->isLoopingEnabled());
        EXPECT_EQ(track->loopRange(), (platform::AVMusicTimeRange{0, 12}));
        EXPECT_EQ(loopInfo(track->musicTrack()).loopDuration, 12.0);
    }
    player.disableLooping();
    EXPECT_FALSE(player.tracks()[0]->isLoopingEnabled());
    EXPECT_EQ(player.tracks()[0]->loopRange().length, 12.0); // the range stays
    EXPECT_EQ(loopInfo(player.tracks()[0]->musicTrack()).loopDuration, 0.0);

    player.setLength(Duration(16));
    for (const auto& track : player.tracks()) {
        EXPECT_EQ(track->lengthInBeats(), 16.0);
        EXPECT_EQ(track->loopRange().length, 16.0);
    }
    EXPECT_FALSE(player.loopEnabled);
    player.setLength(Duration(12));
    player.setCurrentPositionInBeats(14);
    EXPECT_EQ(player.currentPosition().beats, 14.0);
    EXPECT_EQ(player.currentPosition().tempo, 60.0);
    EXPECT_EQ(player.currentRelativePosition().beats, 2.0);
}

TEST_F(MIDIPlayerTest, LoadFailuresAreLoggedAndChangeNothing) {
    const auto dir = std::filesystem::temp_directory_path() / ("midi-player-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    {
        const auto bytes = twoTracks();
        std::ofstream(dir / "good.mid", std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        std::ofstream(dir / "bad.mid") << "MThd";
    }
    platform::BundleResources::setResourceDirectory(dir);
    MIDIPlayer player(nullptr, "good");
    EXPECT_EQ(player.tracks().size(), 2u);
    platform::ScopedLogCapture capture;
    player.loadMIDIFile("bad");
    const std::vector<std::uint8_t> junk{0, 1, 2};
    player.sequence(junk);
    EXPECT_EQ(player.tracks().size(), 2u);
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("MIDIPlayer.cpp:loadMIDIFile(_:):"), std::string::npos);
    EXPECT_NE(lines[0].find(":failed to load MIDI into sequencer ("), std::string::npos);
    EXPECT_NE(lines[1].find(":cannot load from data The operation couldn't be completed. (OSStatus error "
                            "1685348671.) ("),
              std::string::npos);
    platform::BundleResources::setResourceDirectory("resources");
    std::filesystem::remove_all(dir);
}

TEST_F(MIDIPlayerTest, PlaysEveryTrackToTheAudioUnitInput) {
    MIDIPlayer player(nullptr, "");
    player.sequence(twoTracks());
    std::vector<std::uint8_t> statuses;
    for (const auto& track : player.tracks())
        track->setDestinationAudioUnit(
            [&](const MusicTrackOutput& out) { statuses.push_back(out.bytes[0]); });
    player.play();
    EXPECT_TRUE(player.isPlaying());
    clock.advance(3'000'000'000); // 6 beats at 120
    MusicPlayerRenderUntil(player.musicPlayer(), clock.now());
    EXPECT_EQ(statuses, (std::vector<std::uint8_t>{0x90, 0x90}));
    player.stop();
    EXPECT_EQ(statuses.size(), 4u); // both released
}
