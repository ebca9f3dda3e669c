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

std::vector<Captured> encode(AlsaTranslation& t, const Bytes& bytes, bool& inSysEx, std::size_t chunk = 256) {
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
    bool inSysEx = false;
    auto out = encode(t, bytes, inSysEx, chunk);
    EXPECT_FALSE(inSysEx);
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

    // A SysEx left open goes on with the next send's data, even bytes that look like status.
    bool inSysEx = false;
    auto first = encode(t, {0xF0, 0x43, 0x10}, inSysEx);
    EXPECT_TRUE(inSysEx);
    auto second = encode(t, {0x20, 0x96, 0xF7, 0x80, 0x3C, 0x00}, inSysEx);
    EXPECT_FALSE(inSysEx);
    first.insert(first.end(), second.begin(), second.end());
    EXPECT_EQ(decode(t, first), (Bytes{0xF0, 0x43, 0x10, 0x20, 0x96, 0xF7, 0x80, 0x3C, 0x00}));

    // So does a send that begins with a status or a real-time byte: only F7 ends the SysEx.
    inSysEx = true;
    auto rest = encode(t, {0x90, 0x3C, 0xF8, 0xF7}, inSysEx);
    EXPECT_FALSE(inSysEx);
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].event.type, SND_SEQ_EVENT_SYSEX);
    EXPECT_EQ(rest[0].sysEx, (Bytes{0x90, 0x3C, 0xF8, 0xF7}));

    // A short message cut off at the end, or a stray data byte, sends nothing.
    EXPECT_TRUE(encode(t, {0x90, 0x3C}).empty());
    EXPECT_TRUE(encode(t, {0x3C}).empty());
}

TEST(AlsaTranslation, ASinkErrorStopsTheSend) {
    AlsaTranslation t;
    bool inSysEx = false;
    int calls = 0;
    const Bytes message = miditest::eightBitSysEx(1000);
    EXPECT_EQ(
        t.encode(message, 256, inSysEx, [&](snd_seq_event_t&, std::size_t) { return ++calls == 2 ? -5 : 0; }),
        -5);
    EXPECT_EQ(calls, 2);
}

TEST(AlsaTranslation, ReceivedChunksBecomeOneRunOfSysEx7PiecesPerPortAndSource) {
    AlsaTranslation t;
    const Bytes message = miditest::eightBitSysEx(408);
    auto events = encode(t, message, 100);
    std::vector<std::uint32_t> a, b;
    for (auto& c : events) {
        c.event.data.ext.ptr = c.sysEx.data();
        Bytes bytes;
        t.decode(c.event, bytes);
        t.toWords(1, 10, bytes, a, true);
        // Another source interleaved on the same port keeps its own state.
        t.toWords(1, 11, Bytes{0x90, 0x3C, 0x64}, b);
    }
    ASSERT_EQ(miditest::sysExMessages(a).size(), 1u);
    EXPECT_EQ(miditest::sysExMessages(a)[0], message);
    EXPECT_EQ(b.size(), events.size());

    // Lost input: the open SysEx is dropped, and the next complete one arrives whole.
    std::vector<std::uint32_t> c;
    t.toWords(1, 10, Bytes(message.begin(), message.begin() + 50), c);
    t.forgetAll();
    c.clear();
    t.toWords(1, 10, Bytes{0xF0, 0x01, 0xF7}, c);
    EXPECT_EQ(miditest::sysExMessages(c), (std::vector<Bytes>{{0xF0, 0x01, 0xF7}}));
}

namespace {

constexpr MIDITimeStamp kSecond = 1'000'000'000;

std::vector<miditest::Packet> packetsFor(AlsaTranslation& t, MIDITimeStamp time, const Bytes& bytes,
                                         bool sysExEvent = false) {
    PacketListBuilder list;
    t.toPackets(1, 10, time, bytes, sysExEvent, list);
    return miditest::packetsOf(list.list(), list.size());
}

} // namespace

TEST(AlsaTranslation, AnUnfinishedSysExIsGivenUpOnPacketPortsByAPacketMoreThanASecondAfterIt) {
    platform::ScopedLogCapture log;
    AlsaTranslation t;
    const MIDITimeStamp start = 5 * kSecond;
    ASSERT_EQ(packetsFor(t, start, {0xF0, 0x01, 0x02}, true).size(), 1u);
    // Clock every 0.1 ms, the last one second after the SysEx: all held.
    for (MIDITimeStamp i = 1; i <= 10000; ++i)
        ASSERT_TRUE(packetsFor(t, start + i * kSecond / 10000, {0xF8}).empty());
    EXPECT_TRUE(log.entries().empty());

    // A note 1.001 s after the SysEx: the clock goes first, stamped like the note, then the note.
    const MIDITimeStamp late = start + kSecond + 1'000'000;
    const auto packets = packetsFor(t, late, {0x90, 0x3C, 0x64});
    Bytes expected(10000, 0xF8);
    expected.insert(expected.end(), {0x90, 0x3C, 0x64});
    EXPECT_EQ(miditest::concat(packets), expected);
    for (const auto& packet : packets)
        EXPECT_EQ(packet.timeStamp, late);
    EXPECT_EQ(packets.back().data, (Bytes{0x90, 0x3C, 0x64}));
    ASSERT_EQ(log.entries().size(), 1u);
    EXPECT_EQ(log.entries()[0].level, platform::LogLevel::error);
    EXPECT_EQ(log.entries()[0].text,
              "MIDI input: a SysEx got no F7 for more than 1 s and is taken as ended; the "
              "real-time messages held meanwhile are delivered");
    // Nothing is held any more.
    EXPECT_EQ(miditest::concat(packetsFor(t, late + 1, {0xF8})), Bytes{0xF8});
}

TEST(AlsaTranslation, WithinASecondEveryPacketStillGoesIntoTheSysExAndHeldRealTimeIsBounded) {
    platform::ScopedLogCapture log;
    AlsaTranslation t;
    const MIDITimeStamp start = 5 * kSecond;
    packetsFor(t, start, {0xF0, 0x01, 0x02}, true);
    // Exactly a second later a note is passed on as today, for the receiver's SysEx, and counts as
    // its last packet: the clock stays held for a second after it, not after the F0.
    EXPECT_EQ(miditest::concat(packetsFor(t, start + kSecond, {0x90, 0x3C, 0x64})),
              (Bytes{0x90, 0x3C, 0x64}));
    EXPECT_TRUE(packetsFor(t, start + 2 * kSecond, {0xF8}).empty());
    EXPECT_TRUE(log.entries().empty());
    EXPECT_EQ(miditest::concat(packetsFor(t, start + 2 * kSecond + 1, {0xFC})), (Bytes{0xF8, 0xFC}));
    EXPECT_EQ(log.entries().size(), 1u);

    // An F0 the receiver never reads as a start (after a stray data byte, or as a note's data)
    // opens nothing, so nothing is held.
    for (const Bytes& chunk : {Bytes{0x43, 0xF0, 0x01}, Bytes{0x90, 0xF0, 0x01}, Bytes{0x90, 0xF0}}) {
        packetsFor(t, start, chunk, true);
        EXPECT_EQ(miditest::concat(packetsFor(t, start, {0xF8})), Bytes{0xF8});
    }

    // Held real-time beyond the bound is dropped, said once; the rest follows the F7 in order.
    log.clear();
    packetsFor(t, start, {0xF0, 0x01}, true);
    for (std::size_t i = 0; i < AlsaTranslation::kMaxHeldRealTime + 5; ++i)
        ASSERT_TRUE(packetsFor(t, start + i, {0xFE}).empty());
    const auto packets = packetsFor(t, start + kSecond, {0x02, 0xF7}, true);
    ASSERT_EQ(packets.size(), AlsaTranslation::kMaxHeldRealTime + 1);
    EXPECT_EQ(packets[1].timeStamp, start);
    EXPECT_EQ(packets.back().timeStamp, start + AlsaTranslation::kMaxHeldRealTime - 1);
    ASSERT_EQ(log.entries().size(), 1u);
    EXPECT_EQ(log.entries()[0].text,
              "MIDI input: too many real-time messages came during one SysEx; later ones "
              "are dropped until it ends");
}
