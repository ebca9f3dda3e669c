#include "platform/core/LogSink.h"
#include "platform/sequence/MusicSequenceServices.h"
#include "testing/TrackEvents.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes chunk(const char* id, const Bytes& body) {
    Bytes out(id, id + 4);
    const auto n = static_cast<std::uint32_t>(body.size());
    for (int s = 24; s >= 0; s -= 8)
        out.push_back(std::uint8_t(n >> s));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes file(std::uint16_t format, const std::vector<Bytes>& tracks, std::uint16_t division = 96) {
    auto out = chunk("MThd", {0, std::uint8_t(format), 0, std::uint8_t(tracks.size()),
                              std::uint8_t(division >> 8), std::uint8_t(division)});
    for (const auto& t : tracks) {
        auto c = chunk("MTrk", t);
        out.insert(out.end(), c.begin(), c.end());
    }
    return out;
}

struct Seq {
    Seq() { NewMusicSequence(&sequence); }
    ~Seq() { DisposeMusicSequence(sequence); }
    MusicSequence sequence{};
    std::uint32_t count() const {
        std::uint32_t n = 0;
        MusicSequenceGetTrackCount(sequence, &n);
        return n;
    }
    MusicTrack track(std::uint32_t i) const {
        MusicTrack t{};
        MusicSequenceGetIndTrack(sequence, i, &t);
        return t;
    }
    MusicTrack tempo() const {
        MusicTrack t{};
        MusicSequenceGetTempoTrack(sequence, &t);
        return t;
    }
};

using sequencetest::Event;
using sequencetest::events;

// Format 1 at 96 ticks: a conductor with 100 BPM (600000 us) and 6/8, then a track with a name,
// a note 60 from beat 0 to beat 1 (off with release velocity 64), running status, a program
// change and a SysEx.
Bytes sample() {
    const Bytes conductor{0x00, 0xFF, 0x51, 0x03, 0x09, 0x27, 0xC0, 0x00, 0xFF, 0x58,
                          0x04, 6,    3,    36,   8,    0x00, 0xFF, 0x2F, 0x00};
    const Bytes track{0x00, 0xFF, 0x03, 0x04, 'L',  'e',  'a',  'd',  0x00, 0x90, 60,   100,
                      0x30, 62,   90,   0x30, 0x80, 60,   64,   0x00, 0x3E, 0x00, 0x00, 0xC3,
                      25,   0x00, 0xF0, 0x03, 0x7E, 0x01, 0xF7, 0x60, 0xFF, 0x2F, 0x00};
    return file(1, {conductor, track});
}

} // namespace

TEST(MusicSequenceFileTest, ReadsConductorNotesRunningStatusAndSysEx) {
    Seq s;
    const auto bytes = sample();
    ASSERT_EQ(MusicSequenceFileLoadData(s.sequence, bytes, kMusicSequenceFile_MIDIType, 0), noErr);
    ASSERT_EQ(s.count(), 1u);
    const auto tempo = events(s.tempo());
    ASSERT_EQ(tempo.size(), 2u);
    EXPECT_EQ(tempo[0].type, kMusicEventType_ExtendedTempo);
    double bpm;
    std::memcpy(&bpm, tempo[0].data.data(), 8);
    EXPECT_EQ(bpm, 100.0);
    EXPECT_EQ(tempo[1].data[0], 0x58);
    EXPECT_EQ(Bytes(tempo[1].data.begin() + 8, tempo[1].data.end()), (Bytes{6, 3, 36, 8}));

    const auto list = events(s.track(0));
    ASSERT_EQ(list.size(), 5u);
    EXPECT_EQ(list[0].type, kMusicEventType_Meta);
    MIDINoteMessage first, second;
    std::memcpy(&first, list[1].data.data(), 8);
    std::memcpy(&second, list[2].data.data(), 8);
    EXPECT_EQ(first.note, 60);
    EXPECT_EQ(first.duration, 1.0f);
    EXPECT_EQ(first.releaseVelocity, 64);
    EXPECT_EQ(second.note, 62);
    EXPECT_EQ(list[2].time, 0.5);
    EXPECT_EQ(second.duration, 0.5f); // ended by a note on with velocity 0 under running status
    EXPECT_EQ((Bytes(list[3].data.begin(), list[3].data.begin() + 2)), (Bytes{0xC3, 25}));
    EXPECT_EQ(list[4].type, kMusicEventType_MIDIRawData);
    EXPECT_EQ(Bytes(list[4].data.begin() + 4, list[4].data.end()), (Bytes{0xF0, 0x7E, 0x01, 0xF7}));

    std::int32_t resolution = 0;
    std::uint32_t size = 4;
    EXPECT_EQ(MusicTrackGetProperty(s.tempo(), kSequenceTrackProperty_TimeResolution, &resolution, &size),
              noErr);
    EXPECT_EQ(resolution, 96);
}

TEST(MusicSequenceFileTest, WritesAt480TicksAndReadsBackTheSameEvents) {
    Seq s;
    const auto bytes = sample();
    ASSERT_EQ(MusicSequenceFileLoadData(s.sequence, bytes, kMusicSequenceFile_MIDIType, 0), noErr);
    Bytes written;
    ASSERT_EQ(MusicSequenceFileCreateData(s.sequence, kMusicSequenceFile_MIDIType,
                                          kMusicSequenceFileFlags_EraseFile, 480, &written),
              noErr);
    ASSERT_GE(written.size(), 14u);
    EXPECT_EQ(Bytes(written.begin(), written.begin() + 14),
              (Bytes{'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, 2, 0x01, 0xE0}));
    Seq back;
    ASSERT_EQ(MusicSequenceFileLoadData(back.sequence, written, kMusicSequenceFile_MIDIType, 0), noErr);
    ASSERT_EQ(back.count(), 1u);
    const auto a = events(s.track(0)), b = events(back.track(0));
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].time, b[i].time);
        EXPECT_EQ(a[i].type, b[i].type);
        EXPECT_EQ(a[i].data, b[i].data);
    }
    EXPECT_EQ(events(back.tempo()).size(), 2u);
}

TEST(MusicSequenceFileTest, BadHeadersAreRefusedAndChangeNothing) {
    Seq s;
    const auto good = sample();
    ASSERT_EQ(MusicSequenceFileLoadData(s.sequence, good, kMusicSequenceFile_MIDIType, 0), noErr);
    const std::vector<Bytes> bad{
        {},
        Bytes{'M', 'T', 'h', 'd'},
        file(3, {{0x00, 0xFF, 0x2F, 0x00}}),
        file(1, {{0x00, 0xFF, 0x2F, 0x00}}, 0),
        file(0, {{0x00, 0xFF, 0x2F, 0x00}}, 0xE628), // -26 frames per second
        file(0, {{0x00, 0xFF, 0x2F, 0x00}}, 0xE700), // no ticks per frame
    };
    for (const auto& bytes : bad) {
        EXPECT_EQ(MusicSequenceFileLoadData(s.sequence, bytes, kMusicSequenceFile_MIDIType, 0),
                  kAudioFileInvalidFileError);
        EXPECT_EQ(s.count(), 1u);
        EXPECT_EQ(events(s.track(0)).size(), 5u);
    }
}

TEST(MusicSequenceFileTest, AFaultyTrackLoadsTheTracksBeforeItAndFails) {
    const Bytes conductor{0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20, 0x00, 0xFF, 0x2F, 0x00};
    const Bytes first{0x00, 0x90, 60, 100, 0x60, 0x80, 60, 0, 0x00, 0xFF, 0x2F, 0x00};
    const std::vector<Bytes> faulty{
        {0x00, 0x90, 60, 100, 0x00, 0xFF, 0x01, 0x01, 'x', 0x00, 62, 100}, // data after a meta event
        {0x00, 0x90, 60, 100, 0x00, 0xF0, 0x01, 0xF7, 0x00, 62, 100},      // data after a SysEx
        {0x00, 0x3C, 0x40},                                                // data without a status
        {0x00, 0x90, 0x3C},                                                // note on cut short
        {0x00, 0xFF, 0x03, 0x7F, 'x'},                                     // meta longer than its chunk
        {0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x90, 60, 1},                       // five-byte delta
        {0x00, 0xF8},                                                      // real time, no running status
        {0x00, 0x90, 60, 100, 0x60, 0x80, 60, 0},                          // no End of Track
        {},                                                                // no event at all
    };
    for (const auto& track : faulty) {
        Seq s;
        const auto bytes = file(1, {conductor, first, track});
        EXPECT_EQ(MusicSequenceFileLoadData(s.sequence, bytes, kMusicSequenceFile_MIDIType, 0),
                  kAudioFileInvalidFileError);
        ASSERT_EQ(s.count(), 1u);
        EXPECT_EQ(events(s.track(0)).size(), 1u);
        EXPECT_EQ(events(s.tempo()).size(), 1u);
    }

    // A last track cut short by the end of the file, from a file on disk too.
    auto cut = file(1, {conductor, first, first});
    cut.resize(cut.size() - 3);
    const auto path = std::filesystem::temp_directory_path() / ("cut-" + std::to_string(::getpid()) + ".mid");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(cut.data()), std::streamsize(cut.size()));
    Seq s;
    EXPECT_EQ(MusicSequenceFileLoad(s.sequence, path, kMusicSequenceFile_MIDIType, 0),
              kAudioFileInvalidFileError);
    EXPECT_EQ(s.count(), 1u);
    std::filesystem::remove(path);

    // A last chunk of length 0, its track's events left after it.
    auto empty = file(1, {conductor, first, first});
    std::fill(empty.end() - std::ptrdiff_t(first.size()) - 4, empty.end() - std::ptrdiff_t(first.size()), 0);
    EXPECT_EQ(MusicSequenceFileLoadData(s.sequence, empty, kMusicSequenceFile_MIDIType, 0),
              kAudioFileInvalidFileError);
    EXPECT_EQ(s.count(), 1u);

    // Fewer tracks than declared: cut at a chunk boundary, down to the header alone.
    auto fewer = file(1, {conductor, first});
    fewer[11] = 3;
    EXPECT_EQ(MusicSequenceFileLoadData(s.sequence, fewer, kMusicSequenceFile_MIDIType, 0),
              kAudioFileInvalidFileError);
    EXPECT_EQ(s.count(), 1u);
    auto header = file(1, {});
    header[11] = 5;
    ASSERT_EQ(header.size(), 14u);
    EXPECT_EQ(MusicSequenceFileLoadData(s.sequence, header, kMusicSequenceFile_MIDIType, 0),
              kAudioFileInvalidFileError);
    EXPECT_EQ(s.count(), 0u);

    // A format 0 file of two tracks: read as it is.
    EXPECT_EQ(MusicSequenceFileLoadData(s.sequence, file(0, {first, first}), kMusicSequenceFile_MIDIType, 0),
              noErr);
    EXPECT_EQ(s.count(), 2u);
}

TEST(MusicSequenceFileTest, SMPTETimeLoadsInSecondsAt120BPM) {
    // 25 frames of 40 ticks: 1000 ticks a second. The file's own tempo is ignored.
    const Bytes track{0x00, 0xFF, 0x51, 0x03, 0x09, 0x27, 0xC0, 0x83, 0x74, 0x90, 60,
                      100,  0x83, 0x74, 0x80, 60,   0,    0x00, 0xFF, 0x2F, 0x00};
    Seq s;
    ASSERT_EQ(MusicSequenceFileLoadData(s.sequence, file(0, {track}, 0xE728), kMusicSequenceFile_MIDIType, 0),
              noErr);
    const auto list = events(s.track(0));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].time, 1.0); // 500 ticks: half a second
    MIDINoteMessage n;
    std::memcpy(&n, list[0].data.data(), 8);
    EXPECT_EQ(n.duration, 1.0f);
    const auto tempo = events(s.tempo());
    ASSERT_EQ(tempo.size(), 1u);
    double bpm;
    std::memcpy(&bpm, tempo[0].data.data(), 8);
    EXPECT_EQ(tempo[0].time, 0.0);
    EXPECT_EQ(bpm, 120.0);

    // -29 is 29.97 frames a second.
    const Bytes late{0x89, 0x2F, 0x90, 60, 100, 0x00, 0x80, 60, 0, 0x00, 0xFF, 0x2F, 0x00};
    ASSERT_EQ(MusicSequenceFileLoadData(s.sequence, file(0, {late}, 0xE350), kMusicSequenceFile_MIDIType, 0),
              noErr);
    EXPECT_DOUBLE_EQ(events(s.track(0))[0].time, 1199 / (29.97 * 80) * 2);
}

TEST(MusicSequenceFileTest, WrittenNotesEndAfterTheirOwnOnAndKeepTheirVelocity) {
    Seq s;
    MusicTrack track{};
    MusicSequenceNewTrack(s.sequence, &track);
    const MIDINoteMessage a{0, 60, 100, 0, 1}, c{0, 60, 90, 0, 1}, b{0, 60, 80, 0, 0.0001f},
        silent{0, 64, 0, 0, 1};
    MusicTrackNewMIDINoteEvent(track, 0, &a);
    MusicTrackNewMIDINoteEvent(track, 1, &c);
    MusicTrackNewMIDINoteEvent(track, 1, &b); // on and off round to the tick where c starts
    MusicTrackNewMIDINoteEvent(track, 3, &silent);
    Bytes written;
    platform::ScopedLogCapture capture;
    ASSERT_EQ(MusicSequenceFileCreateData(s.sequence, kMusicSequenceFile_MIDIType, 0, 480, &written), noErr);
    const auto tempoSize = (written[18] << 24) | (written[19] << 16) | (written[20] << 8) | written[21];
    const Bytes body(written.begin() + 22 + tempoSize + 8, written.end());
    EXPECT_EQ(body, (Bytes{0x00, 0x90, 60,   100, 0x83, 0x60, 0x80, 60,   0, // a
                           0x00, 0x90, 60,   80,  0x00, 0x80, 60,   0,       // b, on then its off
                           0x00, 0x90, 60,   90,  0x83, 0x60, 0x80, 60,   0, // c
                           0x83, 0x60, 0x90, 64,  1,    0x83, 0x60, 0x80, 64, 0, 0x00, 0xFF, 0x2F, 0x00}));
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_EQ(capture.entries()[0].text,
              "Note ons of velocity 0 written with velocity 1 so they are not read as note offs: 1");

    Seq back;
    ASSERT_EQ(MusicSequenceFileLoadData(back.sequence, written, kMusicSequenceFile_MIDIType, 0), noErr);
    const auto list = events(back.track(0));
    ASSERT_EQ(list.size(), 4u);
    std::vector<std::pair<int, float>> notes;
    for (const auto& e : list) {
        MIDINoteMessage n;
        std::memcpy(&n, e.data.data(), 8);
        notes.emplace_back(n.velocity, n.duration);
    }
    EXPECT_EQ(notes, (std::vector<std::pair<int, float>>{{100, 1.0f}, {80, 0.0f}, {90, 1.0f}, {1, 1.0f}}));
}

TEST(MusicSequenceFileTest, FileWritesReplaceTheOldFileOnlyWhenWhole) {
    const auto dir = std::filesystem::temp_directory_path() / ("sequence-file-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto path = dir / "song.mid";
    { std::ofstream(path) << "old"; }
    Seq s;
    const auto bytes = sample();
    MusicSequenceFileLoadData(s.sequence, bytes, kMusicSequenceFile_MIDIType, 0);
    EXPECT_EQ(MusicSequenceFileCreate(s.sequence, path, kMusicSequenceFile_MIDIType, 0, 480),
              kAudio_FilePermissionError);
    EXPECT_EQ(std::filesystem::file_size(path), 3u);
    EXPECT_EQ(MusicSequenceFileCreate(s.sequence, path, kMusicSequenceFile_MIDIType,
                                      kMusicSequenceFileFlags_EraseFile, 480),
              noErr);
    Seq back;
    EXPECT_EQ(MusicSequenceFileLoad(back.sequence, path, kMusicSequenceFile_MIDIType, 0), noErr);
    EXPECT_EQ(back.count(), 1u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()),
              1);
    EXPECT_EQ(MusicSequenceFileLoad(back.sequence, dir / "absent.mid", kMusicSequenceFile_MIDIType, 0),
              kAudio_FileNotFoundError);
    std::filesystem::remove_all(dir);
}
