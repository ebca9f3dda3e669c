#include "app/protocol/InstrumentMessages.h"
#include "app/protocol/InstrumentModel.h"
#include "app/protocol/SysExFraming.h"

#include "testing/HexBytes.h"

#include <gtest/gtest.h>

using namespace malvo;
using malvo::test::hex;

TEST(SysExFraming, ManufacturerIDGoesInAfterF0) {
    const auto plain = tuningNameRequest(2, 5);
    EXPECT_EQ(frameSysEx(plain, SysExFraming::plain), hex("F0 02 33 05 F7"));
    EXPECT_EQ(frameSysEx(plain, SysExFraming::withManufacturerID), hex("F0 00 66 2B 02 33 05 F7"));
    EXPECT_EQ(plain, hex("F0 02 33 05 F7")) << "the caller's message is not changed";
    EXPECT_TRUE(frameSysEx({}, SysExFraming::withManufacturerID).empty());
}

TEST(SysExFraming, VersionQueriesKeepTheirOwnFraming) {
    EXPECT_EQ(versionRequest(3, SysExFraming::plain), hex("F0 03 15 F7"));
    EXPECT_EQ(versionRequest(3, SysExFraming::withManufacturerID), hex("F0 00 66 2B 03 15 F7"));
}

TEST(SysExFraming, CommandOffsetFindsMessagesForTheOpenModel) {
    EXPECT_EQ(sysExCommandOffset(hex("F0 03 15 01 01 00 F7"), 3), 2u);
    EXPECT_EQ(sysExCommandOffset(hex("F0 03 15 01 01 00 F7"), 2), 0u);
    EXPECT_EQ(sysExCommandOffset(hex("F0 00 66 2B 03 15 01 01 00 F7"), 3), 5u);
    EXPECT_EQ(sysExCommandOffset(hex("F0 00 66 2B 03 15 01 01 00 F7"), 2), 0u);
    EXPECT_EQ(sysExCommandOffset(hex("F0 00 66 2C 03 15 F7"), 3), 0u);
    EXPECT_EQ(sysExCommandOffset(hex("F0 00 67 2B 03 15 F7"), 3), 0u);
    EXPECT_EQ(sysExCommandOffset(hex("F7 03 15 F7"), 3), 0u);
    EXPECT_EQ(framingForCommandOffset(5), SysExFraming::withManufacturerID);
    EXPECT_EQ(framingForCommandOffset(2), SysExFraming::plain);
}

TEST(SysExFraming, CommandOffsetNeverPointsPastTheMessage) {
    for (const auto& full : {hex("F0 03 15 F7"), hex("F0 00 66 2B 03 15 F7")}) {
        for (std::size_t n = 0; n <= full.size(); ++n) {
            const std::span<const std::uint8_t> prefix(full.data(), n);
            const std::size_t offset = sysExCommandOffset(prefix, 3);
            if (offset != 0) {
                EXPECT_LT(offset, n);
            }
        }
    }
    EXPECT_EQ(sysExCommandOffset(hex("F0 03"), 3), 0u);
    EXPECT_EQ(sysExCommandOffset(hex("F0 00 66 2B 03"), 3), 0u);
}

TEST(InstrumentModel, PortNamesMatchWholeAndCaseSensitively) {
    EXPECT_EQ(deviceModelForPortName("Pellandor"), 1);
    EXPECT_EQ(deviceModelForPortName("Toskar"), 2);
    EXPECT_EQ(deviceModelForPortName("Toskar MK1"), 2);
    EXPECT_EQ(deviceModelForPortName("Toskar MK2"), 2);
    EXPECT_EQ(deviceModelForPortName("Velmor"), 3);
    EXPECT_EQ(deviceModelForPortName("ORVANE"), 4);
    EXPECT_EQ(deviceModelForPortName("Orvane"), std::nullopt);
    EXPECT_EQ(deviceModelForPortName("Velmor "), std::nullopt);
    EXPECT_EQ(deviceModelForPortName("Toskar MK3"), std::nullopt);
    EXPECT_EQ(tuningSlotCount(1), 10);
    EXPECT_EQ(tuningSlotCount(2), 128);
    EXPECT_EQ(tuningSlotCount(4), 128);
}
