#include "app/protocol/InstrumentReply.h"

#include "testing/HexBytes.h"

#include <gtest/gtest.h>

using namespace malvo;
using malvo::test::concat;
using malvo::test::hex;
using Kind = InstrumentReply::Kind;

namespace {

std::vector<std::uint8_t> withID(const std::vector<std::uint8_t>& plain) {
    return frameSysEx(plain, SysExFraming::withManufacturerID);
}

Kind kindOf(const std::vector<std::uint8_t>& message, std::uint8_t model) {
    return InstrumentReply::decode(message, model).kind;
}

std::vector<std::uint8_t> programDump(std::uint8_t model, std::uint8_t program, std::size_t dataBytes) {
    return concat({{0xF0, model, 0x00, 0x02, program}, std::vector<std::uint8_t>(dataBytes, 0x11), {0xF7}});
}

std::vector<std::uint8_t> tuningName(std::uint8_t model, std::uint8_t slot, std::vector<std::uint8_t> name) {
    name.resize(16, 0);
    return concat({{0xF0, model, 0x33, slot}, name, {0xF7}});
}

} // namespace

TEST(InstrumentReply, TuningDumpIsRecognisedByItsHeaderAndLength) {
    auto dump = concat({hex("F0 7E 00 08 01 00"), std::vector<std::uint8_t>(401, 0x05), hex("F7")});
    ASSERT_EQ(dump.size(), 408u);
    const auto reply = InstrumentReply::decode(dump, 2);
    EXPECT_EQ(reply.kind, Kind::tuningDump);
    EXPECT_EQ(reply.data, dump);
    EXPECT_EQ(kindOf(dump, 1), Kind::tuningDump) << "whatever the model";
    dump.back() = 0x00;
    EXPECT_EQ(kindOf(dump, 2), Kind::ignored) << "no F7 at its end";
    dump.pop_back();
    EXPECT_EQ(kindOf(dump, 2), Kind::ignored);
    EXPECT_EQ(kindOf(hex("F0 7E F7"), 2), Kind::ignored);
}

TEST(InstrumentReply, VersionReplyTellsTheFramingByWhereTheCommandWas) {
    const auto withId = InstrumentReply::decode(hex("F0 00 66 2B 02 15 01 03 0C F7"), 2);
    EXPECT_EQ(withId.kind, Kind::version);
    EXPECT_EQ(withId.framing, SysExFraming::withManufacturerID);
    EXPECT_EQ(withId.version, (std::array<std::uint8_t, 3>{1, 3, 12}));

    const auto plain = InstrumentReply::decode(hex("F0 02 15 01 03 0C F7"), 2);
    EXPECT_EQ(plain.kind, Kind::version);
    EXPECT_EQ(plain.framing, SysExFraming::plain);
    EXPECT_EQ(plain.version, (std::array<std::uint8_t, 3>{1, 3, 12}));

    // A 10-byte plain reply is not the manufacturer framing; wrong lengths carry no version.
    EXPECT_EQ(kindOf(hex("F0 02 15 01 03 0C 00 00 00 F7"), 2), Kind::ignored);
    EXPECT_EQ(kindOf(hex("F0 02 15 01 03 F7"), 2), Kind::ignored);
    EXPECT_EQ(kindOf(hex("F0 03 15 01 03 0C F7"), 2), Kind::ignored);
}

TEST(InstrumentReply, ProgramRecordsAreTakenOnlyAtTheirExactLength) {
    EXPECT_EQ(kindOf(programDump(1, 0, 196), 1), Kind::programRecord);
    EXPECT_EQ(kindOf(withID(programDump(1, 0, 196)), 1), Kind::programRecord);
    EXPECT_EQ(kindOf(programDump(1, 0, 197), 1), Kind::recordWrongLength);
    EXPECT_EQ(kindOf(programDump(1, 0, 256), 1), Kind::recordWrongLength);
    for (std::uint8_t model : {2, 3}) {
        EXPECT_EQ(kindOf(programDump(model, 0, 256), model), Kind::programRecord);
        EXPECT_EQ(kindOf(withID(programDump(model, 0, 256)), model), Kind::programRecord);
        EXPECT_EQ(kindOf(programDump(model, 0, 255), model), Kind::recordWrongLength);
        EXPECT_EQ(kindOf(programDump(model, 0, 512), model), Kind::recordWrongLength);
    }
    EXPECT_EQ(kindOf(programDump(4, 0, 512), 4), Kind::programRecord) << "plain-framed ORVANE records";
    EXPECT_EQ(kindOf(withID(programDump(4, 0, 512)), 4), Kind::programRecord);
    EXPECT_EQ(kindOf(programDump(4, 0, 256), 4), Kind::recordWrongLength);
    EXPECT_TRUE(InstrumentReply::decode(programDump(2, 0, 255), 2).data.empty());
}

TEST(InstrumentReply, ProgramRecordData) {
    auto pellandor = concat(
        {hex("F0 01 00 02 05"), hex("01 7F 00 41 01 00"), std::vector<std::uint8_t>(190, 0), hex("F7")});
    const auto p = InstrumentReply::decode(pellandor, 1);
    ASSERT_EQ(p.kind, Kind::programRecord);
    EXPECT_EQ(p.bank, 2);
    EXPECT_EQ(p.record, 5);
    ASSERT_EQ(p.data.size(), 98u);
    EXPECT_EQ(p.data[0], 0xFF);
    EXPECT_EQ(p.data[1], 0x41);
    EXPECT_EQ(p.data[2], 0x80);

    auto velmor = withID(programDump(3, 127, 256));
    velmor[8] = 0x99;
    const auto v = InstrumentReply::decode(velmor, 3);
    ASSERT_EQ(v.kind, Kind::programRecord);
    EXPECT_EQ(v.record, 127);
    ASSERT_EQ(v.data.size(), 256u);
    EXPECT_EQ(v.data[0], 0x99);
}

TEST(InstrumentReply, LayerRecords) {
    const auto layer = concat({hex("F0 04 24 03 73"), std::vector<std::uint8_t>(256, 0x42), hex("F7")});
    const auto plain = InstrumentReply::decode(layer, 4);
    EXPECT_EQ(plain.kind, Kind::layerRecord);
    EXPECT_EQ(plain.record, 499);
    EXPECT_EQ(plain.data, std::vector<std::uint8_t>(256, 0x42));
    EXPECT_EQ(kindOf(withID(layer), 4), Kind::layerRecord);
    auto shortLayer = withID(layer);
    shortLayer.erase(shortLayer.begin() + 10);
    EXPECT_EQ(kindOf(shortLayer, 4), Kind::recordWrongLength);
}

TEST(InstrumentReply, TuningSlotNames) {
    const auto named = InstrumentReply::decode(tuningName(2, 3, {'A', 'b', 'c', 'd'}), 2);
    EXPECT_EQ(named.kind, Kind::tuningName);
    EXPECT_EQ(named.slot, 3);
    EXPECT_EQ(named.name, "Abcd");

    const auto latin1 = InstrumentReply::decode(withID(tuningName(2, 0, {'J', 0, 0xE9, 'r'})), 2);
    EXPECT_EQ(latin1.kind, Kind::tuningName);
    EXPECT_EQ(latin1.name, "J\xC3\xA9r") << "zero bytes skipped, bytes read as Latin-1";

    auto longer = tuningName(2, 3, {'A'});
    longer.insert(longer.end() - 1, 0x00);
    EXPECT_EQ(kindOf(longer, 2), Kind::ignored) << "22 bytes";

    EXPECT_EQ(kindOf(tuningName(1, 9, {'x'}), 1), Kind::tuningName);
    EXPECT_EQ(kindOf(tuningName(1, 10, {'x'}), 1), Kind::ignored) << "a Pellandor has 10 slots";
    EXPECT_EQ(kindOf(tuningName(2, 127, {'x'}), 2), Kind::tuningName);
    EXPECT_EQ(kindOf(tuningName(2, 128, {'x'}), 2), Kind::ignored);
}

TEST(InstrumentReply, KeyReports) {
    const auto a = InstrumentReply::decode(hex("F0 03 09 39 39 00 00 F7"), 3);
    EXPECT_EQ(a.kind, Kind::keyTuning);
    EXPECT_EQ(a.key, 57);
    EXPECT_EQ(a.pitch, 57.0);

    const auto half = InstrumentReply::decode(withID(hex("F0 02 09 3C 3C 40 00 F7")), 2);
    EXPECT_EQ(half.kind, Kind::keyTuning);
    EXPECT_EQ(half.pitch, 60.5);

    EXPECT_EQ(kindOf(hex("F0 02 09 96 3C 40 00 F7"), 2), Kind::noKey);
    EXPECT_EQ(kindOf(hex("F0 02 09 96 F7"), 2), Kind::noKey);
    EXPECT_EQ(kindOf(hex("F0 02 09 97 3C 40 00 F7"), 2), Kind::ignored) << "no key of the keyboard";
    EXPECT_EQ(kindOf(hex("F0 02 09 80 3C 40 00 F7"), 2), Kind::ignored);
    EXPECT_EQ(kindOf(hex("F0 02 09 3C 3C 40 F7"), 2), Kind::ignored) << "too short for its tuning";
    EXPECT_EQ(kindOf(hex("F0 02 10 F7"), 2), Kind::keyReleased);
}

TEST(InstrumentReply, MicrotuningStateReports) {
    const auto on = InstrumentReply::decode(hex("F0 02 06 24 01 F7"), 2);
    EXPECT_EQ(on.kind, Kind::microtuningState);
    EXPECT_EQ(on.command, 0x06);
    EXPECT_EQ(on.state, 1);
    EXPECT_EQ(kindOf(hex("F0 01 06 24 01 F7"), 1), Kind::ignored) << "a Pellandor's report is ignored";
    EXPECT_EQ(kindOf(hex("F0 02 06 25 01 F7"), 2), Kind::ignored);
    EXPECT_EQ(kindOf(hex("F0 02 06 24 F7"), 2), Kind::ignored);

    const auto wrong = InstrumentReply::decode(withID(hex("F0 04 30 02 F7")), 4);
    EXPECT_EQ(wrong.kind, Kind::microtuningState);
    EXPECT_EQ(wrong.command, 0x30);
    EXPECT_EQ(wrong.state, 2);
    EXPECT_EQ(kindOf(hex("F0 04 30 F7"), 4), Kind::ignored) << "the F7 is no state";
}

TEST(InstrumentReply, SignalsWithoutData) {
    const std::pair<const char*, Kind> signals[] = {{"05", Kind::readyForFirmware},
                                                    {"16", Kind::stateChanged},
                                                    {"25", Kind::acknowledge},
                                                    {"26", Kind::negativeAcknowledge},
                                                    {"34", Kind::tuningNamesChanged},
                                                    {"36", Kind::programChanged},
                                                    {"37", Kind::ignored},
                                                    {"7F", Kind::ignored},
                                                    {"32", Kind::ignored}};
    for (const auto& [command, kind] : signals) {
        const auto plain = hex(std::string("F0 03 ") + command + " F7");
        EXPECT_EQ(kindOf(plain, 3), kind) << command;
        EXPECT_EQ(kindOf(withID(plain), 3), kind) << command;
        EXPECT_EQ(kindOf(plain, 2), Kind::ignored) << command;
    }
}

TEST(InstrumentReply, TruncatedAndGarbageRepliesCarryNoData) {
    const std::vector<std::pair<std::vector<std::uint8_t>, std::uint8_t>> replies = {
        {programDump(1, 0, 196), 1},
        {withID(programDump(4, 7, 512)), 4},
        {concat({hex("F0 04 24 00 01"), std::vector<std::uint8_t>(256, 1), hex("F7")}), 4},
        {tuningName(2, 1, {'a'}), 2},
        {hex("F0 00 66 2B 02 15 01 02 03 F7"), 2},
        {hex("F0 02 09 3C 3C 40 00 F7"), 2},
        {hex("F0 02 06 24 01 F7"), 2},
        {hex("F0 02 30 01 F7"), 2},
    };
    for (const auto& [full, model] : replies) {
        const Kind complete = kindOf(full, model);
        ASSERT_NE(complete, Kind::ignored);
        for (std::size_t n = 0; n + 1 < full.size(); ++n) {
            const auto reply = InstrumentReply::decode(std::span(full).first(n), model);
            EXPECT_TRUE(reply.data.empty());
            EXPECT_NE(reply.kind, complete) << "prefix of " << n << " bytes";
        }
    }
}
