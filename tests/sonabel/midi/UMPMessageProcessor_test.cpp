#include "sonabel/midi/UMPMessageProcessor.h"

#include "MIDITestSupport.h"
#include "sonabel/midi/MIDIEventListIterator.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace sonabel;
using miditest::Bytes;
using miditest::eventListBytes;
using miditest::logContents;

namespace {
constexpr MIDIUniqueID kSourceA = 1001;
constexpr MIDIUniqueID kSourceB = 1002;

// A SysEx7 piece: status, count and up to six bytes.
Bytes piece(int status, Bytes data, int count = -1) {
    Bytes record{static_cast<MIDIByte>((status << 4) | (count < 0 ? static_cast<int>(data.size()) : count))};
    data.resize(6, 0);
    record.insert(record.end(), data.begin(), data.end());
    return record;
}

// The two words of a type-3 message in `group` carrying a piece.
std::vector<std::uint32_t> sysExWords(std::uint8_t group, const Bytes& record) {
    const auto word = [](MIDIByte a, MIDIByte b, MIDIByte c, MIDIByte d) {
        return (std::uint32_t{a} << 24) | (std::uint32_t{b} << 16) | (std::uint32_t{c} << 8) | d;
    };
    return {word(static_cast<MIDIByte>(0x30 | group), record[0], record[1], record[2]),
            word(record[3], record[4], record[5], record[6])};
}

std::vector<Bytes> dataOf(const std::vector<MIDIEvent>& events) {
    std::vector<Bytes> data;
    for (const auto& event : events)
        data.push_back(event.data);
    return data;
}
} // namespace

TEST(UMPSysExReassembly, CompleteAndPiecewiseMessages) {
    UMPMessageProcessor processor;
    EXPECT_EQ(processor.processUMPSysExMessage(piece(0, {0x7E, 0x7F, 0x06, 0x01}), kSourceA, 0),
              (Bytes{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}));
    EXPECT_EQ(processor.processUMPSysExMessage(piece(0, {}), kSourceA, 0), (Bytes{0xF0, 0xF7}));

    EXPECT_TRUE(processor.processUMPSysExMessage(piece(1, {1, 2, 3, 4, 5, 6}), kSourceA, 0).empty());
    EXPECT_TRUE(processor.processUMPSysExMessage(piece(2, {7, 8, 9, 10, 11, 12}), kSourceA, 0).empty());
    EXPECT_EQ(processor.processUMPSysExMessage(piece(3, {13, 14, 15}), kSourceA, 0),
              (Bytes{0xF0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0xF7}));
}

TEST(UMPSysExReassembly, OrphanPiecesAreDropped) {
    UMPMessageProcessor processor;
    processor.processUMPSysExMessage(piece(1, {1, 2}), kSourceA, 0);
    processor.processUMPSysExMessage(piece(3, {3}), kSourceA, 0);
    // An end after a finished message, and a continue and end without a start.
    EXPECT_TRUE(processor.processUMPSysExMessage(piece(3, {4}), kSourceA, 0).empty());
    EXPECT_TRUE(processor.processUMPSysExMessage(piece(2, {5}), kSourceA, 0).empty());
    EXPECT_TRUE(processor.processUMPSysExMessage(piece(3, {6}), kSourceA, 0).empty());
    // A new start drops what an unfinished start collected.
    processor.processUMPSysExMessage(piece(1, {1}), kSourceA, 0);
    processor.processUMPSysExMessage(piece(1, {2}), kSourceA, 0);
    EXPECT_EQ(processor.processUMPSysExMessage(piece(3, {3}), kSourceA, 0), (Bytes{0xF0, 2, 3, 0xF7}));
}

TEST(UMPSysExReassembly, UnsupportedStatusPassesBareBytesAndKeepsPendingState) {
    UMPMessageProcessor processor;
    processor.processUMPSysExMessage(piece(1, {1}), kSourceA, 0);
    EXPECT_EQ(processor.processUMPSysExMessage(piece(5, {0x01, 0x02}), kSourceA, 0), (Bytes{0x01, 0x02}));
    EXPECT_EQ(processor.processUMPSysExMessage(piece(3, {2}), kSourceA, 0), (Bytes{0xF0, 1, 2, 0xF7}));
}

TEST(UMPSysExReassembly, ByteCountsAreClampedToTheRecord) {
    UMPMessageProcessor processor;
    EXPECT_EQ(processor.processUMPSysExMessage(piece(0, {1, 2, 3, 4, 5, 6}, 15), kSourceA, 0),
              (Bytes{0xF0, 1, 2, 3, 4, 5, 6, 0xF7}));
    // A record shorter than its count says is read only as far as it goes.
    EXPECT_EQ(processor.processUMPSysExMessage(Bytes{0x06, 0x11, 0x22}, kSourceA, 0),
              (Bytes{0xF0, 0x11, 0x22, 0xF7}));
    EXPECT_TRUE(processor.processUMPSysExMessage(Bytes{}, kSourceA, 0).empty());
}

TEST(UMPSysExReassembly, SourcesAndGroupsNeverMix) {
    UMPMessageProcessor processor;
    processor.processUMPSysExMessage(piece(1, {0xA1}), kSourceA, 0);
    processor.processUMPSysExMessage(piece(1, {0xB1}), kSourceB, 0);
    processor.processUMPSysExMessage(piece(1, {0xC1}), kSourceA, 1);
    processor.processUMPSysExMessage(piece(2, {0xB2}), kSourceB, 0);
    EXPECT_EQ(processor.processUMPSysExMessage(piece(3, {0xA2}), kSourceA, 0),
              (Bytes{0xF0, 0xA1, 0xA2, 0xF7}));
    EXPECT_EQ(processor.processUMPSysExMessage(piece(3, {0xC2}), kSourceA, 1),
              (Bytes{0xF0, 0xC1, 0xC2, 0xF7}));
    EXPECT_EQ(processor.processUMPSysExMessage(piece(3, {0xB3}), kSourceB, 0),
              (Bytes{0xF0, 0xB1, 0xB2, 0xB3, 0xF7}));
}

TEST(UMPSysExReassembly, EachMessageStartsAfresh) {
    UMPMessageProcessor processor;
    processor.processUMPSysExMessage(piece(1, {1, 2, 3, 4, 5, 6}), kSourceA, 0);
    processor.processUMPSysExMessage(piece(2, {7, 8, 9, 10, 11, 12}), kSourceA, 0);
    EXPECT_EQ(processor.processUMPSysExMessage(piece(3, {13}), kSourceA, 0),
              (Bytes{0xF0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 0xF7}));
    processor.processUMPSysExMessage(piece(1, {20}), kSourceA, 0);
    EXPECT_EQ(processor.processUMPSysExMessage(piece(3, {21}), kSourceA, 0), (Bytes{0xF0, 20, 21, 0xF7}));
    // A start while a message is pending begins it again.
    processor.processUMPSysExMessage(piece(1, {30, 31}), kSourceB, 2);
    processor.processUMPSysExMessage(piece(1, {32}), kSourceB, 2);
    EXPECT_EQ(processor.processUMPSysExMessage(piece(3, {33}), kSourceB, 2), (Bytes{0xF0, 32, 33, 0xF7}));
    EXPECT_TRUE(processor.processUMPSysExMessage(piece(3, {34}), kSourceB, 2).empty());
}

TEST(UMPSysExReassembly, DroppingASourceLeavesOthers) {
    UMPMessageProcessor processor;
    processor.processUMPSysExMessage(piece(1, {1}), kSourceA, 0);
    processor.processUMPSysExMessage(piece(1, {2}), kSourceA, 3);
    processor.processUMPSysExMessage(piece(1, {3}), kSourceB, 0);
    processor.dropPendingSysEx(kSourceA);
    EXPECT_TRUE(processor.processUMPSysExMessage(piece(3, {9}), kSourceA, 0).empty());
    EXPECT_TRUE(processor.processUMPSysExMessage(piece(3, {9}), kSourceA, 3).empty());
    EXPECT_EQ(processor.processUMPSysExMessage(piece(3, {4}), kSourceB, 0), (Bytes{0xF0, 3, 4, 0xF7}));
}

TEST(UMPSysExReassembly, EachPieceLogsOneLine) {
    platform::ScopedLogCapture capture;
    UMPMessageProcessor processor;
    processor.processUMPSysExMessage(piece(0, {1}), kSourceA, 0);
    processor.processUMPSysExMessage(piece(1, {1}), kSourceA, 0);
    processor.processUMPSysExMessage(piece(2, {1}), kSourceA, 0);
    processor.processUMPSysExMessage(piece(3, {1}), kSourceA, 0);
    processor.processUMPSysExMessage(piece(3, {1}), kSourceA, 0); // orphan
    processor.processUMPSysExMessage(piece(9, {1}), kSourceA, 0);
    EXPECT_EQ(logContents(capture, "processUMPSysExMessage(with:)"),
              (std::vector<std::string>{
                  "UMP SYSEX - Got complete SysEx message in one UMP packet",
                  "UMP SYSEX - Start receiving UMP SysEx messages",
                  "UMP SYSEX - Continue receiving UMP SysEx messages",
                  "UMP SYSEX - End of UMP SysEx messages",
                  "UMP SYSEX - End of UMP SysEx messages",
                  "UMP SYSEX - Got unsupported UMPSysEx7bitStatus",
              }));
    ASSERT_EQ(capture.entries().size(), 6u);
    EXPECT_EQ(capture.entries()[0].category, "midi");
}

TEST(UMPSysExReassembly, NoLineReachesASinkThatTakesOnlyErrors) {
    struct ErrorsOnly final : platform::LogSink {
        std::atomic<int> written{0};
        void write(const platform::LogEntry&) override { ++written; }
        platform::LogLevel lowestLevel() const override { return platform::LogLevel::error; }
    };
    auto sink = std::make_shared<ErrorsOnly>();
    auto previous = platform::LogSink::setCurrent(sink);
    UMPMessageProcessor processor;
    // A 408-byte SysEx: 68 pieces.
    processor.processUMPSysExMessage(piece(1, {1, 2, 3, 4, 5, 6}), kSourceA, 0);
    for (int i = 0; i < 66; ++i)
        processor.processUMPSysExMessage(piece(2, {1, 2, 3, 4, 5, 6}), kSourceA, 0);
    const Bytes whole = processor.processUMPSysExMessage(piece(3, {1, 2, 3, 4}), kSourceA, 0);
    platform::LogSink::setCurrent(previous);
    EXPECT_EQ(whole.size(), 408u);
    EXPECT_EQ(sink->written, 0);
}

TEST(UMPMessages, OneWordMessagesCarryTheirThreeBytes) {
    UMPMessageProcessor processor;
    const std::vector<std::uint32_t> words{0x20903C64, 0x20903C00, 0x10F80000,
                                           0x20E00040, 0x10FF0000, 0x00000000};
    const auto events = processor.processUMPMessages(MIDIEventPacketView(55, std::span(words)), kSourceA);
    EXPECT_EQ(dataOf(events), (std::vector<Bytes>{{0x90, 0x3C, 0x64},
                                                  {0x90, 0x3C, 0x00},
                                                  {0xF8, 0x00, 0x00},
                                                  {0xE0, 0x00, 0x40},
                                                  {0xFF, 0x00, 0x00},
                                                  {}}));
    for (const auto& event : events)
        EXPECT_EQ(event.timeStamp, 55u);
}

TEST(UMPMessages, UnsupportedTypesAreLoggedAndSkippedBySize) {
    platform::ScopedLogCapture capture;
    UMPMessageProcessor processor;
    const std::vector<std::uint32_t> words{0x40903C64, 0xFFFFFFFF, 0x60000000, 0xB0000000, 0x1,       0x2,
                                           0x50000000, 0x3,        0x4,        0x5,        0x20C50700};
    const auto events = processor.processUMPMessages(MIDIEventPacketView(1, std::span(words)), kSourceA);
    EXPECT_EQ(dataOf(events), (std::vector<Bytes>{{0xC5, 0x07, 0x00}}));
    EXPECT_EQ(
        logContents(capture, "processUMPMessages(_:)"),
        (std::vector<std::string>{
            "Got unsupported 64 bit UMP message of type:  "
            "Optional(Sonabel.MIDI.UMPMessageType.MIDI2ChannelVoice64bit)",
            "Got unsupported 32 bit UMP message of type:  "
            "Optional(Sonabel.MIDI.UMPMessageType.Reserved32bit_1)",
            "Got unsupported 96 bit UMP message of type:  "
            "Optional(Sonabel.MIDI.UMPMessageType.Reserved96bit_6)",
            "Got unsupported 128 bit UMP message of type  Optional(Sonabel.MIDI.UMPMessageType.Data128bit)",
        }));
}

TEST(UMPMessages, SysExOverSeveralPacketsWithEightBitBytes) {
    UMPMessageProcessor processor;
    Bytes body;
    for (int i = 0; i < 406; ++i)
        body.push_back(static_cast<MIDIByte>(i * 7));
    std::vector<MIDIEvent> all;
    for (std::size_t at = 0; at < body.size(); at += 6) {
        const std::size_t n = std::min<std::size_t>(6, body.size() - at);
        const int status = at == 0 ? 1 : at + n == body.size() ? 3 : 2;
        const auto words = sysExWords(2, piece(status, Bytes(body.begin() + at, body.begin() + at + n)));
        auto events = processor.processUMPMessages(MIDIEventPacketView(at, std::span(words)), kSourceA);
        ASSERT_EQ(events.size(), 1u);
        all.push_back(events[0]);
    }
    for (std::size_t i = 0; i + 1 < all.size(); ++i)
        EXPECT_TRUE(all[i].data.empty());
    Bytes whole{0xF0};
    whole.insert(whole.end(), body.begin(), body.end());
    whole.push_back(0xF7);
    EXPECT_EQ(all.back().data, whole);
    EXPECT_EQ(all.back().data.size(), 408u);
}

TEST(UMPMessages, IncompleteMessagesAtThePacketsEndAreDropped) {
    UMPMessageProcessor processor;
    auto words = sysExWords(0, piece(0, {1, 2}));
    words.pop_back();
    words.insert(words.begin(), 0x20903C64);
    EXPECT_EQ(dataOf(processor.processUMPMessages(MIDIEventPacketView(1, std::span(words)), kSourceA)),
              (std::vector<Bytes>{{0x90, 0x3C, 0x64}}));
    const std::vector<std::uint32_t> cut128{0x50000000, 0x1};
    EXPECT_TRUE(processor.processUMPMessages(MIDIEventPacketView(1, std::span(cut128)), kSourceA).empty());
}

TEST(MIDIEventListIterator, WalksPacketsAndNeverTrustsCounts) {
    const Bytes bytes = eventListBytes({{10, {0x20903C64}}, {20, {0x10F80000, 0x10FA0000}}, {30, {}}});
    MIDIEventListIterator packets{std::span<const MIDIByte>(bytes)};
    EXPECT_EQ(packets.protocol(), kMIDIProtocol_1_0);
    auto first = packets.next();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->timeStamp, 10u);
    ASSERT_EQ(first->wordCount(), 1u);
    EXPECT_EQ(first->word(0), 0x20903C64u);
    EXPECT_EQ(packets.next()->wordCount(), 2u);
    EXPECT_EQ(packets.next()->wordCount(), 0u);
    EXPECT_FALSE(packets.next());

    // A count far above what the bytes hold, and a word count past the end: whole words only.
    Bytes lying =
        eventListBytes({{1, {0x20903C64}}, {2, {0x20803C00, 0x10F80000}, 1000}}, kMIDIProtocol_2_0, 50);
    lying.push_back(0xAA);
    miditest::AlignedBuffer buffer(lying);
    auto walk = makeIterator(buffer.as<MIDIEventList>(), buffer.size());
    EXPECT_EQ(walk.protocol(), kMIDIProtocol_2_0);
    EXPECT_EQ(walk.next()->wordCount(), 1u);
    EXPECT_EQ(walk.next()->wordCount(), 2u);
    EXPECT_FALSE(walk.next());

    EXPECT_FALSE(MIDIEventListIterator(std::span<const MIDIByte>(Bytes{1, 0, 0, 0})).protocol());
    EXPECT_FALSE(makeIterator(nullptr, 64).next());
    Bytes partial = eventListBytes({{1, {0x20903C64}}});
    partial.resize(8 + 11);
    EXPECT_FALSE(MIDIEventListIterator(std::span<const MIDIByte>(partial)).next());

    // A packet on its own shows at most its 64 words.
    MIDIEventPacket packet{};
    packet.wordCount = 1000;
    EXPECT_EQ(MIDIEventPacketView(packet).wordCount(), 64u);
}
