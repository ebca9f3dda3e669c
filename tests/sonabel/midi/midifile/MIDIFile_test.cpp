#include "MIDIFileTestSupport.h"

#include "sonabel/midi/midifile/MIDIFile.h"

#include <gtest/gtest.h>

using namespace sonabel;
using namespace midifiletest;

namespace {
MIDIFile fromBytes(const Bytes& bytes) {
    return MIDIFile("test.mid", bytes);
}
} // namespace

TEST(MIDIFileTest, ReadsHeaderAndTrackChunksFromDisk) {
    ScratchDirectory dir;
    const Bytes trackBody = join({{0x00, 0x90, 0x3C, 0x40}, endOfTrack()});
    const auto path = dir.write("tune.mid", join({header(0, 1, 0x0060), track(trackBody)}));
    const MIDIFile file(path);

    EXPECT_EQ(file.filename, "tune.mid");
    ASSERT_EQ(file.chunks.size(), 2u);
    const auto& head = MIDIFile::chunk(file.chunks[0]);
    EXPECT_TRUE(head.isHeader());
    EXPECT_FALSE(head.isTrack());
    EXPECT_EQ(head.typeData(), (Bytes{'M', 'T', 'h', 'd'}));
    EXPECT_EQ(head.lengthData(), (Bytes{0, 0, 0, 6}));
    EXPECT_EQ(head.length(), 6);
    EXPECT_TRUE(head.isValid());
    EXPECT_EQ(file.headerChunk()->rawData, header(0, 1, 0x0060));

    const auto trackChunks = file.trackChunks();
    ASSERT_EQ(trackChunks.size(), 1u);
    EXPECT_EQ(trackChunks[0].data(), trackBody);
    EXPECT_EQ(trackChunks[0].type(), MIDIFileChunkType::track);
    // Positions are counted at 480 ticks per beat whatever the header's division.
    EXPECT_EQ(trackChunks[0].timeDivision, 480);
    EXPECT_EQ(trackChunks[0].timeFormat, MIDITimeFormat::ticksPerBeat);

    EXPECT_EQ(file.format(), 0);
    EXPECT_EQ(file.trackCount(), 1);
    EXPECT_EQ(file.timeFormat(), MIDITimeFormat::ticksPerBeat);
    EXPECT_EQ(file.ticksPerBeat(), 96);
    EXPECT_FALSE(file.framesPerSecond());
    EXPECT_FALSE(file.ticksPerFrame());
}

TEST(MIDIFileTest, MissingOrUnreadableFilesHaveNoChunks) {
    ScratchDirectory dir;
    const MIDIFile missing(dir.path() / "songs" / "tune.mid");
    EXPECT_EQ(missing.filename, "tune.mid");
    EXPECT_TRUE(missing.chunks.empty());
    EXPECT_EQ(missing.format(), 0);
    EXPECT_EQ(missing.trackCount(), 0);
    EXPECT_EQ(missing.timeDivision(), 0);
    EXPECT_FALSE(missing.timeFormat());
    EXPECT_FALSE(missing.ticksPerBeat());
    EXPECT_FALSE(missing.headerChunk());

    const MIDIFile directory(dir.path());
    EXPECT_TRUE(directory.chunks.empty());
    EXPECT_EQ(directory.filename, dir.path().filename().string());

    EXPECT_TRUE(MIDIFile(dir.write("empty.mid", {})).chunks.empty());
    EXPECT_EQ(MIDIFile(std::filesystem::path("/tmp/songs/tune.mid")).filename, "tune.mid");
}

TEST(MIDIFileTest, SMPTEDivisionFieldsAsStored) {
    const auto file = fromBytes(header(1, 0, 0xE728));
    EXPECT_EQ(file.timeFormat(), MIDITimeFormat::framesPerSecond);
    EXPECT_EQ(file.framesPerSecond(), 103);
    EXPECT_EQ(file.ticksPerFrame(), 40);
    EXPECT_FALSE(file.ticksPerBeat());
    EXPECT_EQ(file.timeDivision(), 0xE728);
    EXPECT_TRUE(file.trackChunks().empty());
}

TEST(MIDIFileTest, TrackChunksFollowTheLeadingHeader) {
    const Bytes body = endOfTrack();
    // The header's track count is never checked against what follows.
    const auto three = fromBytes(join({header(0, 1, 480), track(body), track({}), track(body)}));
    ASSERT_EQ(three.trackChunks().size(), 3u);
    EXPECT_EQ(three.trackCount(), 1);
    EXPECT_TRUE(three.trackChunks()[1].data().empty());

    EXPECT_TRUE(fromBytes(join({header(0, 1, 480), track(body), header(0, 1, 480)})).trackChunks().empty());
    // Without a header every track chunk counts.
    EXPECT_EQ(fromBytes(join({track(body), track(body)})).trackChunks().size(), 2u);
}

TEST(MIDIFileTest, ChunkTypesMatchExactly) {
    EXPECT_TRUE(fromBytes(chunk("mthd", {0, 0, 0, 1, 0, 96})).chunks.empty());
    Bytes alien = track(endOfTrack());
    alien[3] = 0xCD;
    EXPECT_TRUE(fromBytes(alien).chunks.empty());
    EXPECT_FALSE(MIDIFileTrackChunk::make(header(0, 0, 96)));
    EXPECT_FALSE(MIDIFileHeaderChunk::make(track(endOfTrack())));
    EXPECT_EQ(MIDIFileChunkType::make(std::string_view("MTrk")), MIDIFileChunkType::track);
    EXPECT_FALSE(MIDIFileChunkType::make(std::string_view("MTRK")));
}

TEST(MIDIFileTest, ChunksMustFitTheirDeclaredLength) {
    // Nine bytes at least: a body-less chunk as the last 8 bytes is not read.
    EXPECT_FALSE(MIDIFileTrackChunk::make(track({})));
    const auto trailing = fromBytes(join({header(0, 1, 96), track({})}));
    EXPECT_EQ(trailing.chunks.size(), 1u);

    // A length that runs past the data (or lies hugely) gives no chunk and allocates nothing big.
    Bytes lying = track(endOfTrack());
    lying[4] = 0xFF;
    EXPECT_FALSE(MIDIFileTrackChunk::make(lying));
    const auto cut = fromBytes(join({header(0, 1, 96), lying}));
    EXPECT_EQ(cut.chunks.size(), 1u);

    // The chunk may be followed by more bytes: it takes only its own.
    const auto made = MIDIFileTrackChunk::make(join({track(endOfTrack()), {1, 2, 3}}));
    ASSERT_TRUE(made);
    EXPECT_EQ(made->rawData, track(endOfTrack()));
}

TEST(MIDIFileTest, UnknownChunksAreSteppedOverAndGarbageEndsReading) {
    const auto file = fromBytes(join(
        {header(1, 2, 96), chunk("XFIH", {1, 2, 3}), track(endOfTrack()), {0x00, 0x01, 0x02, 0x03, 0x04}}));
    ASSERT_EQ(file.chunks.size(), 2u);
    EXPECT_EQ(file.trackChunks().size(), 1u);

    const auto garbage =
        fromBytes(join({header(0, 1, 96), {0x80, 0x81, 0x82, 0x83, 0, 0, 0, 0, 0}, track({0})}));
    EXPECT_EQ(garbage.chunks.size(), 1u);
}

TEST(MIDIFileTest, ShortHeaderBodiesReadZero) {
    const auto file = fromBytes(join({chunk("MThd", {0, 1, 0}), track(endOfTrack())}));
    EXPECT_EQ(file.format(), 1);
    EXPECT_EQ(file.trackCount(), 0);
    EXPECT_EQ(file.timeDivision(), 0);
    EXPECT_EQ(file.ticksPerBeat(), 0);
}

TEST(MIDIFileTest, DerivedValuesOfShortChunksStayInBounds) {
    const MIDIFileChunk tiny{{'M', 'T'}};
    EXPECT_EQ(tiny.typeData(), (Bytes{'M', 'T'}));
    EXPECT_TRUE(tiny.lengthData().empty());
    EXPECT_TRUE(tiny.data().empty());
    EXPECT_FALSE(tiny.type());
    EXPECT_FALSE(tiny.isNotTooShort());
    EXPECT_TRUE(tiny.isNotValid());
}

TEST(MIDIFileTest, AHeaderOfAnUnknownFormatEndsTheReading) {
    const Bytes body = endOfTrack();
    // 22017 is 0x5601: what a damaged copy declared.
    for (const int format : {3, 22017, 0xFFFF}) {
        const auto file = fromBytes(join({header(format, 1, 96), track(body)}));
        EXPECT_TRUE(file.chunks.empty()) << format;
        EXPECT_FALSE(file.headerChunk()) << format;
        EXPECT_TRUE(file.tracks().empty()) << format;
        EXPECT_FALSE(MIDIFileHeaderChunk::make(header(format, 1, 96))) << format;
    }
    const auto two = fromBytes(join({header(2, 2, 96), track(body), track(body)}));
    EXPECT_EQ(two.format(), 2);
    EXPECT_EQ(two.tracks().size(), 2u);
}
