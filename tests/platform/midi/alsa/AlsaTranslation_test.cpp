// Bytes to sequencer events and back, without a sequencer: the coder works on plain events.
#include "platform/core/LogSink.h"
#include "platform/midi/alsa/AlsaTranslation.h"
#include "testing/MIDITestSupport.h"

#include <gtest/gtest.h>

#include <vector>

using namespace platform::midi;
using Bytes = std::vector<std::uint8_t>;

namespace {

struct Captured {
    snd_seq_event_t event{};
    Bytes sysEx;
    std::size_t wireBytes = 0;
};

std::vector<Captured> encode(AlsaTranslation& t, const Bytes& bytes, AlsaTranslation::OpenSysEx& inSysEx,
                             std::size_t chunk = 256) {
    std::vector<Captured> out;
    EXPECT_EQ(t.encode(bytes, chunk, inSysEx,
                       [&](snd_seq_event_t& e, std::size_t wire) {
                           Captured c{e, {}, wire};
                           if (e.type == SND_SEQ_EVENT_SYSEX) {
                               const auto* p = static_cast<const std::uint8_t*>(e.data.ext.ptr);
                               c.sysEx.assign(p, p + e.data.ext.len);
                           }
                           out.push_back(c);
                           return 0;
                       }),
              0);
    return out;
}

std::vector<Captured> encode(AlsaTranslation& t, const Bytes& bytes, std::size_t chunk = 256) {
    AlsaTranslation::OpenSysEx inSysEx;
    auto out = encode(t, bytes, inSysEx, chunk);
    EXPECT_TRUE(inSysEx.empty());
    return out;
}

Bytes decode(AlsaTranslation& t, std::vector<Captured>& events) {
    Bytes out;
    for (auto& c : events) {
        if (c.event.type == SND_SEQ_EVENT_SYSEX) c.event.data.ext.ptr = c.sysEx.data();
        t.decode(c.event, out);
    }
    return out;
}

} // namespace

TEST(AlsaTranslation, ShortMessagesBecomeTypedEventsAndComeBackByteExact) {
    AlsaTranslation t;
    const Bytes bytes{0x93, 0x3C, 0x64, 0x83, 0x3C, 0x00, 0x90, 0x40, 0x00, 0xB2, 0x07, 0x7F,
                      0xE1, 0x00, 0x40, 0xE1, 0x7F, 0x7F, 0xC4, 0x05, 0xF8, 0xFA, 0xFC, 0xFE};
    auto events = encode(t, bytes);
    ASSERT_EQ(events.size(), 11u);
    EXPECT_EQ(events[0].event.type, SND_SEQ_EVENT_NOTEON);
    EXPECT_EQ(events[0].event.data.note.channel, 3);
    EXPECT_EQ(events[0].event.data.note.note, 0x3C);
    EXPECT_EQ(events[0].event.data.note.velocity, 0x64);
    EXPECT_EQ(events[1].event.type, SND_SEQ_EVENT_NOTEOFF);
    EXPECT_EQ(events[3].event.type, SND_SEQ_EVENT_CONTROLLER);
    EXPECT_EQ(events[3].event.data.control.param, 7u);
    EXPECT_EQ(events[3].event.data.control.value, 0x7F);
    EXPECT_EQ(events[4].event.type, SND_SEQ_EVENT_PITCHBEND);
    EXPECT_EQ(events[4].event.data.control.value, 0);
    EXPECT_EQ(events[5].event.data.control.value, 8191);
    EXPECT_EQ(events[7].event.type, SND_SEQ_EVENT_CLOCK);
    EXPECT_EQ(events[0].wireBytes, 3u);
    EXPECT_EQ(events[7].wireBytes, 1u);
    // Running status off: every message comes back with its status byte, velocity 0 kept.
    EXPECT_EQ(decode(t, events), bytes);
}

TEST(AlsaTranslation, SysExOfAnyLengthGoesOutInOrderedChunksWithEightBitDataUnchanged) {
    AlsaTranslation t;
    for (std::size_t length : {3u, 408u, 70000u}) {
        SCOPED_TRACE(length);
        const Bytes message = miditest::eightBitSysEx(length);
        auto events = encode(t, message, 256);
        ASSERT_EQ(events.size(), (length + 255) / 256);
        for (const auto& c : events) {
            EXPECT_EQ(c.event.type, SND_SEQ_EVENT_SYSEX);
            EXPECT_LE(c.sysEx.size(), 256u);
            EXPECT_EQ(c.wireBytes, c.sysEx.size());
        }
        EXPECT_EQ(events.front().sysEx.front(), 0xF0);
        EXPECT_EQ(events.back().sysEx.back(), 0xF7);
        EXPECT_EQ(decode(t, events), message);
    }
}

TEST(AlsaTranslation, MixedStreamsAndSysExCarriedAcrossSends) {
    AlsaTranslation t;
    const Bytes mixed{0xF8, 0xF0, 0x43, 0x96, 0xF7, 0x90, 0x3C, 0x64, 0xF0, 0x01, 0xF7};
    auto events = encode(t, mixed);
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(decode(t, events), mixed);

    // A SysEx left open goes on with the next send's data, even bytes that look like status; its
    // last bytes wait for that send, so that no continuation event begins with an F0.
    AlsaTranslation::OpenSysEx inSysEx;
    auto first = encode(t, {0xF0, 0x43, 0x10, 0xF0, 0xF0}, inSysEx);
    EXPECT_EQ(inSysEx, (Bytes{0x10, 0xF0, 0xF0}));
    auto second = encode(t, {0xF0, 0x96, 0xF7, 0x80, 0x3C, 0x00}, inSysEx);
    EXPECT_TRUE(inSysEx.empty());
    ASSERT_EQ(second.size(), 2u);
    EXPECT_EQ(second[0].sysEx, (Bytes{0x10, 0xF0, 0xF0, 0xF0, 0x96, 0xF7}));
    first.insert(first.end(), second.begin(), second.end());
    EXPECT_EQ(decode(t, first), (Bytes{0xF0, 0x43, 0x10, 0xF0, 0xF0, 0xF0, 0x96, 0xF7, 0x80, 0x3C, 0x00}));
    // A send of the F0 alone holds it all.
    EXPECT_TRUE(encode(t, {0xF0}, inSysEx).empty());
    EXPECT_EQ(encode(t, {0xF0, 0xF7}, inSysEx)[0].sysEx, (Bytes{0xF0, 0xF0, 0xF7}));

    // So does a send that begins with a status or a real-time byte: only F7 ends the SysEx.
    inSysEx = {0x01};
    auto rest = encode(t, {0x90, 0x3C, 0xF8, 0xF7}, inSysEx);
    EXPECT_TRUE(inSysEx.empty());
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].event.type, SND_SEQ_EVENT_SYSEX);
    EXPECT_EQ(rest[0].sysEx, (Bytes{0x01, 0x90, 0x3C, 0xF8, 0xF7}));

    // A short message cut off at the end, or a stray data byte, sends nothing.
    EXPECT_TRUE(encode(t, {0x90, 0x3C}).empty());
    EXPECT_TRUE(encode(t, {0x3C}).empty());
}

TEST(AlsaTranslation, ASinkErrorStopsTheSend) {
    AlsaTranslation t;
    AlsaTranslation::OpenSysEx inSysEx;
    int calls = 0;
    const Bytes message = miditest::eightBitSysEx(1000);
    EXPECT_EQ(
        t.encode(message, 256, inSysEx, [&](snd_seq_event_t&, std::size_t) { return ++calls == 2 ? -5 : 0; }),
        -5);
    EXPECT_EQ(calls, 2);
}

TEST(AlsaTranslation, NoContinuationEventBeginsWithF0SoEveryF0EventIsAStart) {
    AlsaTranslation t;
    // F0 data bytes where the cuts would fall, alone and in a run longer than a chunk.
    Bytes message{0xF0, 0x01, 0x02, 0x03, 0xF0, 0x05, 0x06, 0x07, 0xF0, 0xF0, 0xF0, 0xF0, 0xF0, 0x0D, 0xF7};
    for (std::size_t chunk : {1u, 2u, 4u, 256u}) {
        SCOPED_TRACE(chunk);
        auto events = encode(t, message, chunk);
        ASSERT_EQ(events.front().sysEx.front(), 0xF0);
        for (std::size_t i = 1; i < events.size(); ++i)
            EXPECT_NE(events[i].sysEx.front(), 0xF0) << i;
        EXPECT_EQ(decode(t, events), message);
    }
    EXPECT_EQ(encode(t, message, 4)[0].sysEx, (Bytes{0xF0, 0x01, 0x02}));
}

namespace {

Bytes frame(AlsaTranslation& t, const Bytes& bytes, bool sysExEvent, MIDIObjectRef receiver = 1) {
    snd_seq_event_t event{};
    event.type = sysExEvent ? SND_SEQ_EVENT_SYSEX : SND_SEQ_EVENT_NOTEON;
    Bytes out;
    t.frame(receiver, 10, "Toskar", event, bytes, out);
    return out;
}

} // namespace

TEST(AlsaTranslation, ASysExLongerThanTheBoundIsDroppedAndItsRestSkipped) {
    platform::ScopedLogCapture log;
    AlsaTranslation t;
    Bytes chunk(4096, 0x55);
    EXPECT_TRUE(frame(t, {0xF0}, true).empty());
    for (std::size_t n = 1; n + chunk.size() <= SysExCollector::kMaxBytes; n += chunk.size())
        ASSERT_TRUE(frame(t, chunk, true).empty());
    EXPECT_TRUE(log.entries().empty());
    EXPECT_TRUE(frame(t, chunk, true).empty());
    ASSERT_EQ(log.lines(), (std::vector<std::string>{
                               "MIDI input from Toskar: a SysEx longer than 1048576 bytes is dropped"}));
    EXPECT_TRUE(frame(t, {0x01, 0xF7}, true).empty());
    EXPECT_EQ(frame(t, {0xF0, 0x01, 0xF7}, true), (Bytes{0xF0, 0x01, 0xF7}));
    EXPECT_EQ(log.lines().size(), 1u);
}
