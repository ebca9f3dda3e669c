#include "MIDIFileTestSupport.h"

#include "platform/core/LogSink.h"
#include "sonabel/midi/MIDIEvent.h"
#include "sonabel/midi/midifile/MIDIFileTrackChunk.h"

#include <gtest/gtest.h>

using namespace sonabel;
using namespace midifiletest;

namespace {
std::vector<MIDIFileChunkEvent> parse(const Bytes& body) {
    return MIDIFileTrackChunk::make(join({track(body), {0}}))->parseTrackEvents();
}

MIDIFileChunkEvent eventOf(Bytes data) {
    MIDIFileChunkEvent event;
    event.data = std::move(data);
    return event;
}

std::vector<Bytes> dataOf(const std::vector<MIDIFileChunkEvent>& events) {
    std::vector<Bytes> result;
    for (const auto& event : events)
        result.push_back(event.data);
    return result;
}

std::vector<std::string> contents(const platform::ScopedLogCapture& capture) {
    std::vector<std::string> result;
    for (const auto& line : capture.lines()) {
        const auto start = line.find(":parseTrackEvents:");
        if (start == std::string::npos) continue;
        auto rest = line.substr(start + 18);
        rest = rest.substr(rest.find(':') + 1);
        result.push_back(rest.substr(0, rest.rfind(" (")));
    }
    return result;
}
} // namespace

TEST(MIDIFileTrackChunkTest, RunningStatusPutsTheStatusBack) {
    EXPECT_TRUE(parse({}).empty());

    const auto events = parse({0x00, 0x90, 0x3C, 0x40, 0x10, 0x3C, 0x00});
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].data, (Bytes{0x00, 0x90, 0x3C, 0x40}));
    EXPECT_FALSE(events[0].runningStatus);
    EXPECT_EQ(events[0].timeOffset, 0);
    EXPECT_EQ(events[1].data, (Bytes{0x10, 0x3C, 0x00}));
    EXPECT_EQ(events[1].runningStatus, 0x90);
    EXPECT_EQ(events[1].timeOffset, 0);
    EXPECT_EQ(events[1].deltaTime(), 16);
    EXPECT_EQ(events[1].eventData(), (Bytes{0x3C, 0x00}));
    EXPECT_EQ(events[1].computedData(), (Bytes{0x90, 0x3C, 0x00}));
    EXPECT_EQ(events[1].positionInBeats(), 16.0 / 480);

    const auto program = parse({0x00, 0xC0, 0x05, 0x00, 0x07, 0x81, 0x00, 0x09});
    EXPECT_EQ(dataOf(program), (std::vector<Bytes>{{0x00, 0xC0, 0x05}, {0x00, 0x07}, {0x81, 0x00, 0x09}}));
    EXPECT_EQ(program[2].timeOffset, 0);
    EXPECT_EQ(program[2].deltaTime(), 128);
}

TEST(MIDIFileTrackChunkTest, TickTotalsAccumulate) {
    const auto events = parse({0x60, 0x90, 0x3C, 0x40, 0x83, 0x60, 0x80, 0x3C, 0x00, 0x00, 0xFF, 0x2F, 0x00});
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[1].timeOffset, 96);
    EXPECT_EQ(events[1].deltaTime(), 480);
    EXPECT_EQ(events[2].timeOffset, 576);
    EXPECT_EQ(events[2].positionInBeats(), 1.2);
    MIDIFileChunkEvent smpte = events[2];
    smpte.timeFormat = MIDITimeFormat::framesPerSecond;
    EXPECT_FALSE(smpte.positionInBeats());
}

TEST(MIDIFileTrackChunkTest, MetaAndSysExClearRunningStatus) {
    platform::ScopedLogCapture capture;
    const Bytes body{0x00, 0x90, 0x3C, 0x40, 0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20, 0x00, 0x3C, 0x00};
    const auto events = parse(body);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].data, (Bytes{0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20}));
    EXPECT_FALSE(events[1].runningStatus);
    EXPECT_EQ(contents(capture),
              std::vector<std::string>{"error parsing midi file, byte is 60, processed 12 of 14"});
    ASSERT_EQ(capture.entries().size(), 1u);
    EXPECT_EQ(capture.entries()[0].category, "general");
    EXPECT_EQ(capture.entries()[0].level, platform::LogLevel::info);
    EXPECT_EQ(capture.lines()[0].rfind("MIDIFileTrackChunk.cpp:parseTrackEvents:", 0), 0u);

    capture.clear();
    EXPECT_TRUE(parse({0x00, 0x3C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}).empty());
    EXPECT_EQ(contents(capture),
              std::vector<std::string>{"error parsing midi file, byte is 60, processed 1 of 8"});
}

TEST(MIDIFileTrackChunkTest, SysExIsSteppedOverWhole) {
    Bytes body{0x00, 0xF0, 0x81, 0x00};
    body.insert(body.end(), 128, 0x11);
    body.insert(body.end(), {0x00, 0x90, 0x3C, 0x40});
    const auto events = parse(body);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].data.size(), 1u + 3u + 128u);
    EXPECT_EQ(events[1].data, (Bytes{0x00, 0x90, 0x3C, 0x40}));
}

TEST(MIDIFileTrackChunkTest, UnknownMetaAndF7EventsAreWholeEventsThatEndRunningStatus) {
    platform::ScopedLogCapture capture;
    // Under running status: an unknown meta (FF 0B) and FF 7F with a manufacturer ID, each one
    // event; the notes after them keep their ticks and a real note off survives.
    const auto withRunning = parse({0x00, 0x90, 0x3C, 0x40, 0x05, 0xFF, 0x0B, 0x01, 0x02, 0x03, 0xFF, 0x7F,
                                    0x03, 0x00, 0x00, 0x41, 0x0A, 0x90, 0x3C, 0x00, 0x00, 0xFF, 0x2F, 0x00});
    EXPECT_EQ(dataOf(withRunning), (std::vector<Bytes>{{0x00, 0x90, 0x3C, 0x40},
                                                       {0x05, 0xFF, 0x0B, 0x01, 0x02},
                                                       {0x03, 0xFF, 0x7F, 0x03, 0x00, 0x00, 0x41},
                                                       {0x0A, 0x90, 0x3C, 0x00},
                                                       {0x00, 0xFF, 0x2F, 0x00}}));
    EXPECT_EQ(withRunning[4].timeOffset, 18);
    EXPECT_FALSE(withRunning[1].runningStatus);
    EXPECT_EQ(withRunning[1].typeIndex(), 2u);
    // A data byte right after one is an error: it took no running status.
    EXPECT_EQ(parse({0x00, 0x90, 0x3C, 0x40, 0x00, 0xFF, 0x60, 0x00, 0x00, 0x3C, 0x00}).size(), 2u);
    EXPECT_EQ(contents(capture),
              std::vector<std::string>{"error parsing midi file, byte is 60, processed 9 of 11"});
    capture.clear();
    // Without running status the track goes on after it.
    EXPECT_EQ(parse({0x00, 0xFF, 0x60, 0x01, 0x05, 0x00, 0xC0, 0x05}).size(), 2u);

    // F7 after a SysEx, and under running status: one event each, kept whole.
    const auto escapes = parse({0x00, 0xF0, 0x02, 0x43, 0x12, 0x10, 0xF7, 0x02, 0x00, 0xF7, 0x00,
                                0x90, 0x3C, 0x40, 0x00, 0xF7, 0x01, 0xF8, 0x00, 0xC0, 0x05});
    EXPECT_EQ(dataOf(escapes), (std::vector<Bytes>{{0x00, 0xF0, 0x02, 0x43, 0x12},
                                                   {0x10, 0xF7, 0x02, 0x00, 0xF7},
                                                   {0x00, 0x90, 0x3C, 0x40},
                                                   {0x00, 0xF7, 0x01, 0xF8},
                                                   {0x00, 0xC0, 0x05}}));
    EXPECT_FALSE(escapes[3].runningStatus);
    EXPECT_EQ(escapes[3].timeOffset, 16);
    EXPECT_TRUE(contents(capture).empty());

    // Other system bytes and a cut-short FF are still data under running status.
    EXPECT_EQ(dataOf(parse({0x00, 0x90, 0x3C, 0x40, 0x00, 0xF8, 0x01, 0x00, 0xFF})),
              (std::vector<Bytes>{{0x00, 0x90, 0x3C, 0x40}, {0x00, 0xF8, 0x01}, {0x00, 0xFF}}));
}

TEST(MIDIFileTrackChunkTest, TruncatedEndsKeepWhatRemains) {
    EXPECT_EQ(dataOf(parse({0x00, 0x90, 0x3C, 0x40, 0x81})), (std::vector<Bytes>{{0x00, 0x90, 0x3C, 0x40}}));
    EXPECT_EQ(dataOf(parse({0x00, 0x90, 0x3C})), (std::vector<Bytes>{{0x00, 0x90, 0x3C}}));
    // Lengths that run past the body take what there is.
    EXPECT_EQ(dataOf(parse({0x00, 0xFF, 0x03, 0x8F, 0xFF, 0xFF, 0x7F, 0x41})),
              (std::vector<Bytes>{{0x00, 0xFF, 0x03, 0x8F, 0xFF, 0xFF, 0x7F, 0x41}}));
    // A delta time whose every byte has its top bit set spans the rest of the body.
    EXPECT_TRUE(parse({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}).empty());
}

TEST(MIDIFileTrackChunkTest, TypeIndex) {
    const auto at = [](Bytes data) { return eventOf(std::move(data)).typeIndex(); };
    EXPECT_EQ(at({0x00, 0xFF, 0x2F, 0x00}), 2u);
    EXPECT_EQ(at({0x00, 0x90, 0x3C, 0x40}), 1u);
    EXPECT_EQ(at({0x00, 0xF8}), 1u);
    EXPECT_EQ(at({0x00, 0xFF}), 1u);
    EXPECT_EQ(at({0x81, 0x00, 0xC0, 0x01}), 2u);
    EXPECT_FALSE(at({0x00, 0x3C, 0x00}));
    EXPECT_FALSE(at({0x00, 0xF4}));
    EXPECT_FALSE(at({0x00}));
    EXPECT_FALSE(at({}));
    EXPECT_EQ(MIDIFileChunkEvent{}.deltaTime(), 0);
}

TEST(MIDIFileTrackChunkTest, FileEventsBecomeMessages) {
    const auto events = parse({0x00, 0x90, 0x3C, 0x40, 0x83, 0x60, 0x3C, 0x00, 0x00, 0xFF, 0x2F, 0x00, 0x00,
                               0xF0, 0x02, 0x7E, 0xF7});
    ASSERT_EQ(events.size(), 4u);
    const auto running = MIDIEvent::make(events[1]);
    ASSERT_TRUE(running);
    EXPECT_EQ(running->data, (Bytes{0x90, 0x3C, 0x00}));
    EXPECT_EQ(running->positionInBeats, 1.0);
    EXPECT_FALSE(running->timeStamp);
    EXPECT_FALSE(MIDIEvent::make(events[2]));
    const auto sysEx = MIDIEvent::make(events[3]);
    ASSERT_TRUE(sysEx);
    EXPECT_EQ(sysEx->data, (Bytes{0xF0, 0x02, 0x7E, 0xF7}));
    EXPECT_EQ(sysEx->positionInBeats, 1.0);

    EXPECT_FALSE(MIDIEvent::make(eventOf({0x00})));
    MIDIFileChunkEvent smpte = events[0];
    smpte.timeFormat = MIDITimeFormat::framesPerSecond;
    EXPECT_FALSE(MIDIEvent::make(smpte)->positionInBeats);
}
