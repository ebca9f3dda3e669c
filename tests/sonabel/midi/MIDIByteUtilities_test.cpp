#include "sonabel/midi/MIDIByte.h"
#include "sonabel/midi/MIDIHelper.h"
#include "sonabel/midi/MIDIMessage.h"
#include "sonabel/midi/MIDISysExMessage.h"
#include "sonabel/midi/MIDITimeFormat.h"
#include "sonabel/midi/MIDIVariableLengthQuantity.h"

#include <gtest/gtest.h>

#include <unordered_set>

using namespace sonabel;
using Bytes = std::vector<MIDIByte>;
using VLQ = MIDIVariableLengthQuantity;

static_assert(MIDIMessage<MIDISysExMessage>);

TEST(MIDIVariableLengthQuantity, ReadsSevenBitGroupsWithoutAFourByteLimit) {
    EXPECT_EQ(VLQ::read(Bytes{0x00}), VLQ::Result(1, 0));
    EXPECT_EQ(VLQ::read(Bytes{0x7F, 0x80}), VLQ::Result(1, 127));
    EXPECT_EQ(VLQ::read(Bytes{0x81, 0x00}), VLQ::Result(2, 128));
    EXPECT_EQ(VLQ::read(Bytes{0xFF, 0xFF, 0xFF, 0x7F}), VLQ::Result(4, 268435455));
    EXPECT_EQ(VLQ::read(Bytes{0x81, 0x80, 0x80, 0x80, 0x00}), VLQ::Result(5, 268435456));
    // Bits shifted out of the top are lost, not undefined.
    EXPECT_EQ(VLQ::read(Bytes{0x81, 0x80, 0x80, 0x80, 0x80, 0x00}), VLQ::Result(6, 0));
    EXPECT_EQ(VLQ::read(Bytes{0x8F, 0xFF, 0xFF, 0xFF, 0x7F}), VLQ::Result(5, 0xFFFFFFFF));
    // The last byte ends the quantity whatever its top bit.
    EXPECT_EQ(VLQ::read(Bytes{0x81, 0x81}), VLQ::Result(2, 129));
    EXPECT_EQ(VLQ::read(Bytes{0x85}), VLQ::Result(1, 5));
    EXPECT_EQ(VLQ::read(Bytes{}), VLQ::Result(0, 0));
}

TEST(MIDIVariableLengthQuantity, KeepsTheBytesItSpans) {
    EXPECT_FALSE(VLQ::make(Bytes{}));
    const auto quantity = VLQ::make(Bytes{0x83, 0x60, 0x45});
    ASSERT_TRUE(quantity);
    EXPECT_EQ(quantity->data, (Bytes{0x83, 0x60}));
    EXPECT_EQ(quantity->vlqResult, VLQ::Result(2, 480));
    EXPECT_EQ(quantity->quantity(), 480u);

    // From a slice of a larger array.
    const Bytes track{0x00, 0x90, 0x81, 0x00, 0x3C};
    const auto delta = VLQ::make(std::span(track).subspan(2));
    ASSERT_TRUE(delta);
    EXPECT_EQ(delta->data, (Bytes{0x81, 0x00}));
    EXPECT_EQ(delta->quantity(), 128u);

    // A long run of continuation bytes is read to its end.
    const Bytes run(100000, 0x80);
    EXPECT_EQ(VLQ::make(run)->vlqResult, VLQ::Result(100000, 0));
}

TEST(MIDISysExMessage, KeepsItsWholePayload) {
    const auto message = MIDISysExMessage::make(Bytes{0xF0, 0x05, 0x7E, 0x00, 0x09, 0x01, 0xF7, 0x90, 0x3C});
    ASSERT_TRUE(message);
    EXPECT_EQ(message->length, 5);
    EXPECT_EQ(message->data, (Bytes{0xF0, 0x05, 0x7E, 0x00, 0x09, 0x01, 0xF7}));
    EXPECT_EQ(message->description(), "MIDI SysEx message 5 bytes long");

    EXPECT_FALSE(MIDISysExMessage::make(Bytes{0xF0, 0x05}));
    EXPECT_FALSE(MIDISysExMessage::make(Bytes{0xF7, 0x01, 0x02}));
    EXPECT_FALSE(MIDISysExMessage::make(Bytes{}));

    // A two-byte length field: F0, two length bytes and 128 bytes.
    Bytes long128{0xF0, 0x81, 0x00};
    for (int i = 0; i < 140; ++i)
        long128.push_back(static_cast<MIDIByte>(i & 0x7F));
    const auto longMessage = MIDISysExMessage::make(long128);
    ASSERT_TRUE(longMessage);
    EXPECT_EQ(longMessage->length, 128);
    EXPECT_EQ(longMessage->data.size(), 131u);
    EXPECT_EQ(longMessage->data.back(), 127);
}

TEST(MIDISysExMessage, ALengthBeyondTheInputIsClampedToIt) {
    // A length of 2^32 - 1: the size is computed in 64 bits and clamped, never wrapped.
    const auto message = MIDISysExMessage::make(Bytes{0xF0, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F, 0x01, 0x02});
    ASSERT_TRUE(message);
    EXPECT_EQ(message->length, 0xFFFFFFFF);
    EXPECT_EQ(message->data.size(), 8u);

    const auto cut = MIDISysExMessage::make(Bytes{0xF0, 0x05, 0x7E});
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->length, 5);
    EXPECT_EQ(cut->data, (Bytes{0xF0, 0x05, 0x7E}));
}

TEST(MIDIHelper, ConvertsByteGroups) {
    EXPECT_EQ(MIDIHelper::convertTo32Bit(0x12, 0x34, 0x56, 0x78), 0x12345678u);
    EXPECT_EQ(MIDIHelper::convertTo32Bit(0xFF, 0xFF, 0xFF, 0xFF), 0xFFFFFFFFu);
    EXPECT_EQ(MIDIHelper::convertTo16Bit(0x01, 0x02), 258);
    EXPECT_EQ(MIDIHelper::convertTo16Bit(0xFF, 0xFF), 65535);
    EXPECT_EQ(MIDIHelper::convertToDecimalStrings(Bytes{1, 23, 5}), "1235");
    EXPECT_EQ(MIDIHelper::convertToDecimalStrings(Bytes{}), "");
    EXPECT_EQ(MIDIHelper::convertToDecimalStrings(Bytes{255, 0}), "2550");
}

TEST(MIDIHelper, DecodesOnlyValidUTF8) {
    EXPECT_EQ(MIDIHelper::convertToString(Bytes{'B', 'a', 's', 's'}), "Bass");
    EXPECT_EQ(MIDIHelper::convertToString(Bytes{}), "");
    EXPECT_EQ(MIDIHelper::convertToString(Bytes{0xC3, 0xA9}), "\xC3\xA9");
    EXPECT_EQ(MIDIHelper::convertToString(Bytes{0xF0, 0x9F, 0x8E, 0xB9}), "\xF0\x9F\x8E\xB9");
    EXPECT_EQ(MIDIHelper::convertToString(Bytes{'a', 0x00, 'b'}), std::string("a\0b", 3));
    // Latin-1, a cut-short sequence, an overlong form, a surrogate, beyond U+10FFFF.
    EXPECT_FALSE(MIDIHelper::convertToString(Bytes{'c', 0xE9}));
    EXPECT_FALSE(MIDIHelper::convertToString(Bytes{0xE2, 0x82}));
    EXPECT_FALSE(MIDIHelper::convertToString(Bytes{0xC0, 0xAF}));
    EXPECT_FALSE(MIDIHelper::convertToString(Bytes{0xE0, 0x80, 0xAF}));
    EXPECT_FALSE(MIDIHelper::convertToString(Bytes{0xED, 0xA0, 0x80}));
    EXPECT_FALSE(MIDIHelper::convertToString(Bytes{0xF4, 0x90, 0x80, 0x80}));
    EXPECT_FALSE(MIDIHelper::convertToString(Bytes{0xFF}));
}

TEST(MIDIByte, NibblesAndHexText) {
    EXPECT_EQ(highNibble(0x93), 0x9);
    EXPECT_EQ(lowNibble(0x93), 0x3);
    EXPECT_EQ(hexString(MIDIByte{5}), "0x05");
    EXPECT_EQ(hexString(MIDIByte{0x0F}), "0x0F");
    EXPECT_EQ(hexString(MIDIByte{0xAB}), "0xAB");
    EXPECT_EQ(hexString(Bytes{0x0A, 0xFF}), "0AFF");
    EXPECT_EQ(hexString(Bytes{0xF0, 0x7E}), "F07E");
    EXPECT_EQ(hexString(Bytes{}), "");
}

TEST(MIDIByte, IntegerValueIsBigEndianAndFitsSigned64Bits) {
    EXPECT_EQ(integerValue(Bytes{0x07, 0xA1, 0x20}), 500000);
    EXPECT_EQ(integerValue(Bytes{}), std::nullopt);
    EXPECT_EQ(integerValue(Bytes{0x00}), 0);
    EXPECT_EQ(integerValue(Bytes{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x2A}), 42);
    EXPECT_EQ(integerValue(Bytes{0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}), std::nullopt);
    EXPECT_EQ(integerValue(Bytes{0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), INT64_MAX);
    EXPECT_EQ(integerValue(Bytes{0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}), std::nullopt);
    EXPECT_EQ(integerValue(Bytes(200, 0x00)), 0);
}

TEST(MIDITimeFormat, RawValues) {
    EXPECT_EQ(MIDITimeFormat::make(0), MIDITimeFormat::ticksPerBeat);
    EXPECT_EQ(MIDITimeFormat::make(1), MIDITimeFormat::framesPerSecond);
    EXPECT_FALSE(MIDITimeFormat::make(2));
    EXPECT_FALSE(MIDITimeFormat::make(-1));
    std::unordered_set<MIDITimeFormat> formats{MIDITimeFormat::ticksPerBeat, MIDITimeFormat::ticksPerBeat};
    EXPECT_EQ(formats.size(), 1u);
}
