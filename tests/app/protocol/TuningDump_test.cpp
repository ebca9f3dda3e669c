#include "app/protocol/ScalaScale.h"
#include "app/protocol/TuningDump.h"

#include "testing/HexBytes.h"

#include <gtest/gtest.h>

using namespace malvo;
using malvo::test::concat;
using malvo::test::hex;

namespace {

std::array<mts_note_data, 128> equalTemperament() {
    std::array<mts_note_data, 128> keys{};
    for (int k = 0; k < 128; ++k)
        keys[k] = {k, 0};
    return keys;
}

std::uint8_t xorOf(std::span<const std::uint8_t> bytes) {
    std::uint8_t sum = 0;
    for (auto b : bytes)
        sum ^= b;
    return sum;
}

} // namespace

TEST(TuningDump, EqualTemperamentDumpByteForByte) {
    std::vector<std::uint8_t> expected =
        concat({hex("F0 7E 00 08 01 00 65 74 31 32"), std::vector<std::uint8_t>(12, 0)});
    for (int k = 0; k < 128; ++k)
        expected.insert(expected.end(), {static_cast<std::uint8_t>(k), 0, 0});
    expected.insert(expected.end(), {0x65, 0xF7});
    EXPECT_EQ(TuningDump::fromNoteData(equalTemperament(), "et12").bytes(), expected);
}

TEST(TuningDump, KeysPastTheTopAreSentAsTheHighestPitch) {
    const auto scale = ScalaScale::make("d\n7\n9/8\n5/4\n4/3\n3/2\n5/3\n15/8\n2/1\n");
    ASSERT_TRUE(scale);
    const auto dump = TuningDump::fromNoteData(scale->mtsData(), "just").bytes();
    ASSERT_EQ(dump.size(), TuningDump::size);
    const auto key = [&](int k) { return std::vector(dump.begin() + 22 + 3 * k, dump.begin() + 25 + 3 * k); };
    EXPECT_EQ(key(127), hex("7F 7F 7E"));
    EXPECT_EQ(key(64), hex("43 02 40"));
    EXPECT_EQ(key(0), hex("04 7D 3F"));
    EXPECT_EQ(xorOf(std::span(dump).subspan(1, 406)), 0) << "checksum covers 7E through the last key";
    EXPECT_LT(dump[406], 0x80);
    EXPECT_EQ(dump.back(), 0xF7);
}

TEST(TuningDump, KeyBytesStayMIDIDataAndNeverSayNoChange) {
    EXPECT_EQ(TuningDump::keyBytes({60, 8192}), (std::array<std::uint8_t, 3>{0x3C, 0x40, 0x00}));
    EXPECT_EQ(TuningDump::keyBytes({127, 16382}), (std::array<std::uint8_t, 3>{0x7F, 0x7F, 0x7E}));
    EXPECT_EQ(TuningDump::keyBytes({127, 16383}), (std::array<std::uint8_t, 3>{0x7F, 0x7F, 0x7E}));
    EXPECT_EQ(TuningDump::keyBytes({128, 0}), (std::array<std::uint8_t, 3>{0x7F, 0x7F, 0x7E}));
    EXPECT_EQ(TuningDump::keyBytes({300, 5}), (std::array<std::uint8_t, 3>{0x7F, 0x7F, 0x7E}));
    EXPECT_EQ(TuningDump::keyBytes({-1, 5}), (std::array<std::uint8_t, 3>{0x00, 0x00, 0x00}));
}

TEST(TuningDump, NameFieldIsAlwaysSixteenBytes) {
    const auto field = [](std::string_view name) {
        const auto f = TuningDump::nameField(name);
        return std::vector<std::uint8_t>(f.begin(), f.end());
    };
    EXPECT_EQ(field("Just major"),
              concat({hex("4A 75 73 74 20 6D 61 6A 6F 72"), std::vector<std::uint8_t>(6, 0)}));
    EXPECT_EQ(field("ABCDEFGHIJKLMNOPQRST"), hex("41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50"));
    EXPECT_EQ(field("C\xC3\xA9x"), concat({hex("43 E9 78"), std::vector<std::uint8_t>(13, 0)}));
    EXPECT_EQ(field("\xCE\xA9 \xE2\x82\xAC"), concat({hex("3F 20 3F"), std::vector<std::uint8_t>(13, 0)}));
    for (std::string_view name : {"C\xC3\xA9x", "\xF0\x9F\x8E\xB9\xF0\x9F\x8E\xB9", "", "\xFF\xFE"})
        EXPECT_EQ(TuningDump::fromNoteData(equalTemperament(), name).bytes().size(), TuningDump::size);
}

TEST(TuningDump, SyxFilesAreCheckedOnlyByTheirMarkers) {
    auto file = concat({hex("F0 7E 00 08 01 00"), std::vector<std::uint8_t>(401, 0x55), hex("F7")});
    const auto dump = TuningDump::make(file);
    ASSERT_TRUE(dump) << "a wrong checksum is sent unchanged";
    EXPECT_EQ(dump->bytes(), file);

    auto longer = file;
    longer.insert(longer.end(), {0x01, 0x02});
    ASSERT_TRUE(TuningDump::make(longer));
    EXPECT_EQ(TuningDump::make(longer)->bytes(), file) << "cut after 408 bytes";

    EXPECT_FALSE(TuningDump::make(std::span(file).first(407)));
    EXPECT_FALSE(TuningDump::make({}));
    for (std::size_t at : {0u, 1u, 407u}) {
        auto bad = file;
        bad[at] = 0x00;
        EXPECT_FALSE(TuningDump::make(bad)) << "byte " << at;
    }
}
