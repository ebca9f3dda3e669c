#include "MIDIFileTestSupport.h"

#include "platform/core/LogSink.h"
#include "sonabel/midi/midifile/MIDIFile.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace sonabel;
using namespace midifiletest;

namespace {
const Bytes kTempo120{0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20};

MIDIFileTrack trackOf(const Bytes& body) {
    return MIDIFileTrack{*MIDIFileTrackChunk::make(join({track(body), {0}}))};
}

float bpmOf(const Bytes& tempoData) {
    return MIDIFileTempoTrack{trackOf({}), tempoData}.tempoBPM();
}
} // namespace

TEST(MIDIFileTrackTest, FormatOneSetsTheTempoTrackAside) {
    ScratchDirectory dir;
    const Bytes tempoBody = join({kTempo120, endOfTrack()});
    const Bytes first = join({{0x00, 0x90, 0x3C, 0x40}, endOfTrack(0x60)});
    const Bytes second = join({{0x00, 0x91, 0x40, 0x40}, endOfTrack()});
    const MIDIFile file(
        dir.write("three.mid", join({header(1, 3, 96), track(tempoBody), track(first), track(second)})));

    const auto tracks = file.tracks();
    ASSERT_EQ(tracks.size(), 2u);
    EXPECT_EQ(tracks[0].chunk.data(), first);
    EXPECT_EQ(tracks[1].chunk.data(), second);
    EXPECT_DOUBLE_EQ(tracks[0].length(), 0.2);

    const auto tempo = file.tempoTrack();
    ASSERT_TRUE(tempo);
    EXPECT_EQ(tempo->track.chunk.data(), tempoBody);
    EXPECT_EQ(tempo->tempoData, (Bytes{0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20}));
    EXPECT_EQ(tempo->tempoBPM(), 120.0f);
    EXPECT_EQ(tempo->metaEvents().size(), 2u);
    EXPECT_TRUE(tempo->events().empty());

    // Without a set-tempo event there is no tempo track, and the first chunk is still left out.
    const MIDIFile noTempo("x.mid", join({header(1, 2, 96), track(endOfTrack()), track(first)}));
    EXPECT_FALSE(noTempo.tempoTrack());
    EXPECT_EQ(noTempo.tracks().size(), 1u);
}

TEST(MIDIFileTrackTest, OtherFormatsKeepEveryTrack) {
    const MIDIFile single("x.mid", join({header(0, 1, 96), track(join({kTempo120, endOfTrack()}))}));
    EXPECT_EQ(single.tracks().size(), 1u);
    EXPECT_FALSE(single.tempoTrack());
    const MIDIFile headless("x.mid", join({track(kTempo120), track(endOfTrack())}));
    EXPECT_EQ(headless.tracks().size(), 2u);
    EXPECT_FALSE(headless.tempoTrack());
    EXPECT_FALSE(MIDIFile("x.mid", header(1, 0, 96)).tempoTrack());
}

TEST(MIDIFileTrackTest, EventsChannelEventsAndMetaEvents) {
    platform::ScopedLogCapture capture;
    const auto track = trackOf({0x00, 0x90, 0x3C, 0x40, 0x81, 0x70, 0xB0, 0x07, 0x64, 0x00,
                                0xF0, 0x01, 0xF7, 0x60, 0x3C, 0x00, 0x00, 0xFF, 0x2F, 0x00});
    const auto events = track.events();
    // The SysEx cleared the running status, so 3C is a parse error: the events before it stay.
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(capture.lines().size(), 1u);
    EXPECT_EQ(events[1].data, (Bytes{0xB0, 0x07, 0x64}));
    EXPECT_EQ(events[1].positionInBeats, 0.5);
    EXPECT_EQ(events[2].data, (Bytes{0xF0, 0x01, 0xF7}));
    EXPECT_TRUE(track.metaEvents().empty());

    const auto channel = track.channelEvents();
    ASSERT_EQ(channel.size(), 2u);
    EXPECT_EQ(channel[0].data, (Bytes{0x90, 0x3C, 0x40}));
}

TEST(MIDIFileTrackTest, UnknownMetasStayOutOfTheMetaListAndF7EventsStayWhole) {
    const auto track = trackOf({0x00, 0x90, 0x3C, 0x40, 0x00, 0xFF, 0x0B, 0x01, 0x7F, 0x00, 0xF7,
                                0x02, 0x01, 0x02, 0x60, 0x80, 0x3C, 0x00, 0x00, 0xFF, 0x2F, 0x00});
    const auto events = track.events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[1].data, (Bytes{0xF7, 0x02, 0x01, 0x02}));
    EXPECT_EQ(events[2].data, (Bytes{0x80, 0x3C, 0x00}));
    EXPECT_EQ(events[2].positionInBeats, 0.2);
    const auto meta = track.metaEvents();
    ASSERT_EQ(meta.size(), 1u);
    EXPECT_EQ(meta[0].type, MIDICustomMetaEventType::endOfTrack);
    EXPECT_EQ(track.length(), 0.2);
}

TEST(MIDIFileTrackTest, RunningStatusMessagesAndLength) {
    const auto track = trackOf({0x00, 0x90, 0x3C, 0x40, 0x83, 0x60, 0x3C, 0x00, 0x00, 0xB0, 0x07, 0x64, 0x83,
                                0x60, 0xFF, 0x2F, 0x00});
    const auto events = track.events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[1].data, (Bytes{0x90, 0x3C, 0x00}));
    EXPECT_EQ(events[1].positionInBeats, 1.0);
    EXPECT_EQ(track.channelEvents(), events);
    const auto meta = track.metaEvents();
    ASSERT_EQ(meta.size(), 1u);
    EXPECT_EQ(meta[0].type, MIDICustomMetaEventType::endOfTrack);
    EXPECT_EQ(meta[0].positionInBeats, 2.0);
    EXPECT_EQ(track.length(), 2.0);

    const auto bare = trackOf({0x00, 0x90, 0x3C, 0x40});
    EXPECT_EQ(bare.length(), 0.0);
    EXPECT_FALSE(bare.name());
}

TEST(MIDIFileTrackTest, NameIsTheFirstTrackNameEvent) {
    EXPECT_EQ(
        trackOf({0x00, 0xFF, 0x01, 0x02, 'h', 'i', 0x00, 0xFF, 0x03, 0x05, 'P', 'i', 'a', 'n', 'o'}).name(),
        "Piano");
    // The search ends at the first match, even when its text is not UTF-8.
    EXPECT_FALSE(trackOf({0x00, 0xFF, 0x03, 0x01, 0xC3, 0x00, 0xFF, 0x03, 0x01, 'x'}).name());
    // A name cut short by the end of the track keeps what is there.
    EXPECT_EQ(trackOf({0x00, 0xFF, 0x03, 0x05, 'B', 'a'}).name(), "Ba");
    EXPECT_EQ(trackOf({0x00, 0xFF, 0x03, 0x00}).name(), "");
}

TEST(MIDIFileTrackTest, TempoInBeatsPerMinute) {
    EXPECT_EQ(bpmOf({0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20}), 120.0f);
    EXPECT_EQ(bpmOf({0xFF, 0x51, 0x03, 0x06, 0x8A, 0x1B}), 140.0001f); // 428571
    EXPECT_EQ(bpmOf({0xFF, 0x51, 0x03, 0x05, 0x62, 0xAD}), 170.0f);    // 352941
    // Payloads under three bytes read no tempo; longer ones read their last three bytes.
    EXPECT_EQ(bpmOf({0xFF, 0x51, 0x00}), 120.0f);
    EXPECT_EQ(bpmOf({0xFF, 0x51, 0x02, 0x07, 0xA1}), 120.0f);
    EXPECT_EQ(bpmOf({0xFF, 0x51, 0x03, 0x07, 0xA1}), 120.0f); // cut short
    EXPECT_EQ(bpmOf({0xFF, 0x51, 0x04, 0x09, 0x06, 0x8A, 0x1B}), 140.0001f);
    EXPECT_EQ(bpmOf({}), 120.0f);
    EXPECT_EQ(bpmOf({0xFF, 0x51, 0x03, 0x00, 0x00, 0x00}), 120.0f);
    EXPECT_FALSE(MIDIFileTempoTrack::make(trackOf(endOfTrack()).chunk));
}
