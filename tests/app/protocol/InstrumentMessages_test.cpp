#include "app/protocol/InstrumentMessages.h"

#include "testing/HexBytes.h"

#include <gtest/gtest.h>

#include <numeric>

using namespace malvo;
using malvo::test::concat;
using malvo::test::hex;

namespace {
Bytes withID(const Bytes& plain) {
    return frameSysEx(plain, SysExFraming::withManufacturerID);
}
} // namespace

TEST(InstrumentMessages, ShortCommandsInBothFramings) {
    EXPECT_EQ(stateRequest(2), hex("F0 02 14 F7"));
    EXPECT_EQ(tuningDumpRequest(2, 3), hex("F0 02 32 03 F7"));
    EXPECT_EQ(tuningNameRequest(1, 9), hex("F0 01 33 09 F7"));
    EXPECT_EQ(microtuningStateQuery(3), hex("F0 03 30 F7"));
    EXPECT_EQ(microtuningSwitchMessage(2, true), hex("F0 02 06 24 01 F7"));
    EXPECT_EQ(microtuningSwitchMessage(2, false), hex("F0 02 06 24 00 F7"));
    EXPECT_EQ(command21Message(2), hex("F0 02 21 F7"));
    EXPECT_EQ(programRequest(3, 5, 127), hex("F0 03 13 05 7F F7"));
    EXPECT_EQ(layerRequest(4, 300), hex("F0 04 25 02 2C F7"));
    EXPECT_EQ(layerRequest(4, 499), hex("F0 04 25 03 73 F7"));

    EXPECT_EQ(withID(stateRequest(2)), hex("F0 00 66 2B 02 14 F7"));
    EXPECT_EQ(withID(microtuningSwitchMessage(4, true)), hex("F0 00 66 2B 04 06 24 01 F7"));
    EXPECT_EQ(withID(programRequest(3, 5, 0)), hex("F0 00 66 2B 03 13 05 00 F7"));
}

TEST(InstrumentMessages, NoteSwitchSendsOnlyOffAndOn) {
    EXPECT_EQ(noteOnOffMessage(2, 0), hex("F0 02 35 00 F7"));
    EXPECT_EQ(noteOnOffMessage(2, 1), hex("F0 02 35 01 F7"));
    EXPECT_EQ(noteOnOffMessage(2, 2), std::nullopt);
    EXPECT_EQ(noteOnOffMessage(2, 255), std::nullopt);
}

TEST(InstrumentMessages, ProgramNameIsSixteenLatin1Bytes) {
    EXPECT_EQ(programNameMessage(2, "Solo"),
              hex("F0 02 11 53 6F 6C 6F 00 00 00 00 00 00 00 00 00 00 00 00 F7"));
    EXPECT_EQ(withID(programNameMessage(2, "Solo")).size(), 23u);

    const auto fifteen = programNameMessage(3, "ABCDEFGHIJKLMNO");
    ASSERT_EQ(fifteen.size(), 20u);
    EXPECT_EQ(fifteen[17], 'O');
    EXPECT_EQ(fifteen[18], 0x00);

    EXPECT_EQ(programNameMessage(2, "\xC3\xA9"),
              hex("F0 02 11 E9 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 F7"));
    // A base letter with a combining accent is the composed letter; one that composes with nothing,
    // like a character beyond Latin-1, is '?'.
    EXPECT_EQ(programNameMessage(2, "e\xCC\x81x"),
              hex("F0 02 11 E9 78 00 00 00 00 00 00 00 00 00 00 00 00 00 00 F7"));
    EXPECT_EQ(programNameMessage(2, "q\xCC\x81x"),
              hex("F0 02 11 3F 78 00 00 00 00 00 00 00 00 00 00 00 00 00 00 F7"));
    EXPECT_EQ(programNameMessage(2, "\xE2\x82\xAC"),
              hex("F0 02 11 3F 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 F7"));
    EXPECT_EQ(programNameMessage(2, "ABCDEFGHIJKLMNOPQRST").size(), 20u) << "never longer than its field";
}

TEST(InstrumentMessages, FirmwareBlocks) {
    EXPECT_EQ(firmwareBlockCount(0), 0u);
    EXPECT_EQ(firmwareBlockCount(1), 1u);
    EXPECT_EQ(firmwareBlockCount(256), 1u);
    EXPECT_EQ(firmwareBlockCount(257), 2u);
    EXPECT_EQ(firmwareBlockCount(300), 2u);
    EXPECT_EQ(firmwareBlockCount(51200), 200u);

    std::vector<std::uint8_t> file(300);
    std::iota(file.begin(), file.end(), 0);
    const auto first = firmwareBlockMessage(2, 1, 2, std::span(file).first(256));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->size(), 521u);
    EXPECT_EQ(std::vector(first->begin(), first->begin() + 8), hex("F0 02 01 00 01 00 02 01"));
    // 0xFF travels as 01 7F, the high bit first.
    EXPECT_EQ((*first)[8 + 2 * 255], 0x01);
    EXPECT_EQ((*first)[8 + 2 * 255 + 1], 0x7F);
    EXPECT_EQ(withID(*first).size(), 524u);

    const auto last = firmwareBlockMessage(2, 2, 2, std::span(file).subspan(256));
    ASSERT_TRUE(last);
    EXPECT_EQ(last->size(), 97u);
    EXPECT_EQ(std::vector(last->begin(), last->begin() + 12), hex("F0 02 01 00 02 00 02 01 00 00 00 01"));
    EXPECT_EQ(last->back(), 0xF7);

    const auto counted = firmwareBlockMessage(1, 200, 200, {});
    ASSERT_TRUE(counted);
    EXPECT_EQ(*counted, hex("F0 01 01 01 48 01 48 01 F7"));
}

TEST(InstrumentMessages, FirmwareBlocksThatCannotBeNumberedAreRefused) {
    const std::vector<std::uint8_t> block(256);
    EXPECT_TRUE(firmwareBlockMessage(2, 16383, 16383, block));
    EXPECT_FALSE(firmwareBlockMessage(2, 16384, 16384, block));
    EXPECT_FALSE(firmwareBlockMessage(2, 1, 16384, block));
    EXPECT_FALSE(firmwareBlockMessage(2, 0, 1, block));
    EXPECT_FALSE(firmwareBlockMessage(2, 1, 1, std::vector<std::uint8_t>(257)));
}

TEST(InstrumentMessages, BankRecordsPerModel) {
    EXPECT_EQ(bankRecordSize(1, 2), 98u);
    EXPECT_EQ(bankRecordSize(2, 2), 256u);
    EXPECT_EQ(bankRecordSize(3, 0), 256u);
    EXPECT_EQ(bankRecordSize(4, 3), 512u);
    EXPECT_EQ(bankRecordSize(4, layersBank), 256u);

    std::vector<std::uint8_t> pellandor(98, 0xC1);
    const auto p = bankRecordMessage(1, 2, 0, pellandor);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->size(), 202u);
    EXPECT_EQ(std::vector(p->begin(), p->begin() + 7), hex("F0 01 00 02 00 01 41"));
    EXPECT_EQ(withID(*p).size(), 205u);

    const std::vector<std::uint8_t> record(256, 0xAB);
    const auto toskar = bankRecordMessage(2, 10, 7, record);
    ASSERT_TRUE(toskar);
    EXPECT_EQ(toskar->size(), 262u);
    EXPECT_EQ(std::vector(toskar->begin(), toskar->begin() + 6), hex("F0 02 17 0A 07 AB"));

    const auto velmor = bankRecordMessage(3, 5, 1, record);
    ASSERT_TRUE(velmor);
    EXPECT_EQ(std::vector(velmor->begin(), velmor->begin() + 5), hex("F0 03 00 05 01"));

    const auto layer = bankRecordMessage(4, layersBank, 300, record);
    ASSERT_TRUE(layer);
    EXPECT_EQ(layer->size(), 262u);
    EXPECT_EQ(std::vector(layer->begin(), layer->begin() + 5), hex("F0 04 24 02 2C"));
    EXPECT_EQ(withID(*layer).size(), 265u);

    const auto orvane = bankRecordMessage(4, 3, 9, std::vector<std::uint8_t>(512, 1));
    ASSERT_TRUE(orvane);
    EXPECT_EQ(orvane->size(), 518u);
    EXPECT_EQ(std::vector(orvane->begin(), orvane->begin() + 5), hex("F0 04 00 03 09"));
    EXPECT_EQ(withID(*orvane).size(), 521u);
}

TEST(InstrumentMessages, ShortRecordsArePaddedWithZerosAndOversizedOnesRefused) {
    const auto tail = bankRecordMessage(3, 0, 1, std::vector<std::uint8_t>(44, 0x55));
    ASSERT_TRUE(tail);
    EXPECT_EQ(*tail, concat({hex("F0 03 00 00 01"), std::vector<std::uint8_t>(44, 0x55),
                             std::vector<std::uint8_t>(212, 0), hex("F7")}));
    EXPECT_FALSE(bankRecordMessage(3, 0, 0, std::vector<std::uint8_t>(257)));
    EXPECT_FALSE(bankRecordMessage(1, 0, 0, std::vector<std::uint8_t>(99)));
    EXPECT_TRUE(bankRecordMessage(3, 0, 255, {}));
    EXPECT_FALSE(bankRecordMessage(3, 0, 256, {}));
    EXPECT_TRUE(bankRecordMessage(4, layersBank, 16383, {}));
    EXPECT_FALSE(bankRecordMessage(4, layersBank, 16384, {}));
}
