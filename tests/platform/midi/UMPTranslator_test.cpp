// MIDI 1.0 bytes to UMP words, SysEx above all: the pieces, their order and 8-bit values inside.
#include "platform/midi/UMPTranslator.h"
#include "testing/MIDITestSupport.h"

#include <gtest/gtest.h>

#include <vector>

using platform::midi::UMPTranslator;
using Words = std::vector<std::uint32_t>;
using Bytes = std::vector<std::uint8_t>;

namespace {

Words translate(UMPTranslator& t, const Bytes& chunk) {
    Words out;
    t.translate(chunk, out);
    return out;
}

Words translate(const Bytes& chunk) {
    UMPTranslator t;
    return translate(t, chunk);
}

unsigned pieceStatus(std::uint32_t word) {
    return (word >> 20) & 0xF;
}
unsigned pieceCount(std::uint32_t word) {
    return (word >> 16) & 0xF;
}

} // namespace

TEST(UMPTranslator, ChannelVoiceAndSystemMessages) {
    EXPECT_EQ(translate({0x90, 0x3C, 0x64}), Words{0x20903C64});
    EXPECT_EQ(translate({0x9F, 0x3C, 0x00}), Words{0x209F3C00});
    EXPECT_EQ(translate({0xC5, 0x07}), Words{0x20C50700});
    EXPECT_EQ(translate({0xE0, 0x00, 0x40}), Words{0x20E00040});
    // Running status, and a clock in the middle of a note-on.
    EXPECT_EQ(translate({0x90, 0x3C, 0x64, 0x3E, 0x65, 0x40, 0xF8, 0x66}),
              (Words{0x20903C64, 0x20903E65, 0x10F80000, 0x20904066}));
    EXPECT_EQ(translate({0xF2, 0x10, 0x20, 0xF3, 0x05, 0xF6, 0xF1, 0x31}),
              (Words{0x10F21020, 0x10F30500, 0x10F60000, 0x10F13100}));
    EXPECT_EQ(translate({0xFA, 0xFC, 0xFF}), (Words{0x10FA0000, 0x10FC0000, 0x10FF0000}));
    // Stray data, a stray F7, and a system common message ending running status.
    EXPECT_EQ(translate({0x3C, 0x64, 0xF7, 0x90, 0x3C, 0x64, 0xF6, 0x3E, 0x65}),
              (Words{0x20903C64, 0x10F60000}));
}

TEST(UMPTranslator, HalfAMessageCarriesOverToTheNextChunk) {
    UMPTranslator t;
    EXPECT_EQ(translate(t, {0x90, 0x3C}), Words{});
    EXPECT_EQ(translate(t, {0x64}), Words{0x20903C64});
    EXPECT_EQ(translate(t, {0x3D, 0x00}), Words{0x20903D00}); // running status across chunks
}

TEST(UMPTranslator, ShortSysExPieces) {
    EXPECT_EQ(translate({0xF0, 0xF7}), (Words{0x30000000, 0x00000000}));
    EXPECT_EQ(translate({0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}), (Words{0x30047E7F, 0x06010000}));
    EXPECT_EQ(translate({0xF0, 1, 2, 3, 4, 5, 6, 0xF7}), (Words{0x30060102, 0x03040506}));
    EXPECT_EQ(translate({0xF0, 1, 2, 3, 4, 5, 6, 7, 0xF7}),
              (Words{0x30160102, 0x03040506, 0x30310700, 0x00000000}));
    // Twelve bytes: start with 6, end with 6; no empty end piece.
    const Words twelve = translate({0xF0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0xF7});
    ASSERT_EQ(twelve.size(), 4u);
    EXPECT_EQ(pieceStatus(twelve[0]), 1u);
    EXPECT_EQ(pieceStatus(twelve[2]), 3u);
    EXPECT_EQ(pieceCount(twelve[2]), 6u);
}

TEST(UMPTranslator, A408ByteSysExWithEightBitValuesArrivesUnchanged) {
    const Bytes sysEx = miditest::eightBitSysEx(408);
    ASSERT_NE(std::find(sysEx.begin() + 1, sysEx.end() - 1, 0x96), sysEx.end() - 1);
    ASSERT_NE(std::find(sysEx.begin() + 1, sysEx.end() - 1, 0xF8), sysEx.end() - 1);
    Bytes stream{0x90, 0x3C, 0x64};
    stream.insert(stream.end(), sysEx.begin(), sysEx.end());
    stream.insert(stream.end(), {0x80, 0x3C, 0x00});

    const Words words = translate(stream);
    // 406 data bytes: 67 full pieces and one of 4, each two words, between the two notes.
    ASSERT_EQ(words.size(), 1 + 68 * 2 + 1);
    EXPECT_EQ(words.front(), 0x20903C64u);
    EXPECT_EQ(words.back(), 0x20803C00u);
    EXPECT_EQ(pieceStatus(words[1]), 1u);
    for (std::size_t i = 3; i < words.size() - 3; i += 2)
        EXPECT_EQ(pieceStatus(words[i]), 2u) << i;
    EXPECT_EQ(pieceStatus(words[words.size() - 3]), 3u);
    EXPECT_EQ(pieceCount(words[words.size() - 3]), 4u);
    EXPECT_EQ(miditest::sysExMessages(words), std::vector<Bytes>{sysEx});
}

TEST(UMPTranslator, SysExSpreadOverChunks) {
    // Every chunk but the first begins with F0, a status or a real-time byte: all of it is data.
    Bytes sysEx = miditest::eightBitSysEx(100);
    const std::uint8_t starts[] = {0xF0, 0x90, 0xF8, 0xFF, 0xF6};
    for (std::size_t at = 17, i = 0; at + 1 < sysEx.size(); at += 17, ++i)
        sysEx[at] = starts[i % std::size(starts)];
    UMPTranslator t;
    Words all;
    for (std::size_t at = 0; at < sysEx.size(); at += 17) {
        t.translate(Bytes(sysEx.begin() + at, sysEx.begin() + std::min(at + 17, sysEx.size())), all);
        if (at == 0) {
            EXPECT_FALSE(all.empty()) << "collected bytes are handed on at the end of each chunk";
        }
    }
    EXPECT_EQ(miditest::sysExMessages(all), std::vector<Bytes>{sysEx});
    EXPECT_FALSE(t.inSysEx());
}

TEST(UMPTranslator, AMessageChunkEndsAnOpenSysExByItsStatusButNotByRealTime) {
    using Chunk = UMPTranslator::Chunk;
    UMPTranslator t;
    Words words = translate(t, {0xF0, 0x01, 0x02});
    Words clock;
    t.translate(Bytes{0xF8}, clock, Chunk::message);
    EXPECT_EQ(clock, Words{0x10F80000u});
    EXPECT_TRUE(t.inSysEx());
    t.translate(Bytes{0x03}, words);
    Words next;
    t.translate(Bytes{0x90, 0x3C, 0x64}, next, Chunk::message);
    EXPECT_FALSE(t.inSysEx());
    ASSERT_EQ(next.size(), 3u);
    EXPECT_EQ(pieceStatus(next[0]), 3u); // the end piece, with nothing left in it
    EXPECT_EQ(next[2], 0x20903C64u);
    words.insert(words.end(), next.begin(), next.end() - 1);
    EXPECT_EQ(miditest::sysExMessages(words), (std::vector<Bytes>{{0xF0, 0x01, 0x02, 0x03, 0xF7}}));

    t.reset();
    EXPECT_EQ(translate(t, {0x3C, 0x64}), Words{});
}

TEST(UMPTranslator, UndefinedRealTimeBytesGiveNoWordAndCutNothing) {
    const struct {
        Bytes bytes;
        Words words;
    } cases[] = {
        {{0xF9}, {}},
        {{0xFD, 0xF8}, {0x10F80000}},
        {{0x90, 0xF9, 0x3C, 0xFD, 0x64}, {0x20903C64}},
        {{0xC7, 0xFD, 0x02, 0xF9, 0xFE}, {0x20C70200, 0x10FE0000}},
        {{0xF2, 0x01, 0xF9, 0x02}, {0x10F20102}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.bytes));
        EXPECT_EQ(translate(c.bytes), c.words);
    }
}
