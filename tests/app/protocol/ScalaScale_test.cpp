#include "app/protocol/ScalaScale.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

using namespace malvo;

namespace {

const char* const justMajor = "! just.scl\n"
                              "!\n"
                              "Just major, 7 degrees\n"
                              " 7\n"
                              "!\n"
                              " 9/8\n"
                              " 5/4\n"
                              " 4/3\n"
                              " 3/2\n"
                              " 5/3\n"
                              " 15/8\n"
                              " 2/1\n";

std::string equalTempered() {
    std::string text = "! et12.scl\n!\n12 tone equal temperament\n 12\n!\n";
    for (int i = 1; i <= 12; ++i)
        text += " " + std::to_string(i * 100) + ".0\n";
    return text;
}

std::vector<double> centsOf(std::string_view text) {
    const auto scale = ScalaScale::make(text);
    return scale ? scale->cents : std::vector<double>{};
}

bool refused(std::string_view text) {
    return !ScalaScale::make(text).has_value();
}

std::string withDegree(const std::string& degree) {
    return "d\n2\n" + degree + "\n2/1\n";
}

} // namespace

TEST(ScalaScale, EqualTemperamentPutsEveryKeyOnItsOwnSemitone) {
    const auto scale = ScalaScale::make(equalTempered());
    ASSERT_TRUE(scale);
    EXPECT_EQ(scale->num, 12);
    EXPECT_EQ(scale->description, "12 tone equal temperament");
    ASSERT_EQ(scale->cents.size(), 12u);
    EXPECT_EQ(scale->cents.front(), 100.0);
    EXPECT_EQ(scale->cents.back(), 1200.0);
    const auto keys = scale->mtsData();
    for (int k = 0; k < 128; ++k)
        EXPECT_EQ(keys[k], (mts_note_data{k, 0})) << "key " << k;
}

TEST(ScalaScale, SevenDegreeScaleLaidOutFromKey60) {
    const auto scale = ScalaScale::make(justMajor);
    ASSERT_TRUE(scale);
    EXPECT_EQ(scale->num, 7);
    EXPECT_NEAR(scale->cents[3], 701.955, 0.001);
    const auto keys = scale->mtsData();
    EXPECT_EQ(keys[60], (mts_note_data{60, 0}));
    EXPECT_EQ(keys[61], (mts_note_data{62, 640}));
    EXPECT_EQ(keys[64], (mts_note_data{67, 320})) << "3/2: t = 7, fraction 320";
    EXPECT_EQ(keys[67], (mts_note_data{67, 0}));
    EXPECT_EQ(keys[4], (mts_note_data{4, 0}));
    EXPECT_EQ(keys[0], (mts_note_data{4, 16063})) << "base 0, degree 3";
    EXPECT_EQ(keys[3], (mts_note_data{10, 14461})) << "degree 6 below the lowest period start";
    EXPECT_EQ(keys[127], (mts_note_data{130, 320})) << "kept past the top of the keyboard";
}

TEST(ScalaScale, OnlyTheFirstTokenOfALineCounts) {
    const std::vector<double> expected{700.0, 1200.0};
    EXPECT_EQ(centsOf("d\n2\n700.0 ! fifth\n2/1\n"), expected);
    EXPECT_EQ(centsOf("d\n2\n   700.0\n2/1\n"), expected);
    EXPECT_EQ(centsOf("d\n2 degrees\n\t700.0\t\n2/1 octave\n"), expected);
    EXPECT_NEAR(centsOf("d\n2\n3/2 fifth\n2/1\n").at(0), 701.955, 0.001);
    EXPECT_EQ(centsOf("d\n+2\n+700.0\n2/1\n"), expected);
    EXPECT_EQ(centsOf("d\n2\n700.\n2/1\n"), expected);
    EXPECT_EQ(centsOf("d\n2\n700.0\xC2\xA0! no-break space\n2/1\n"), expected);
}

TEST(ScalaScale, BareWholeNumbersAreRatios) {
    EXPECT_EQ(centsOf(withDegree("2")).at(0), 1200.0);
    EXPECT_EQ(centsOf(withDegree("4")).at(0), 2400.0);
    EXPECT_EQ(centsOf(withDegree("1")).at(0), 0.0);
    EXPECT_TRUE(refused(withDegree("0")));
}

TEST(ScalaScale, MalformedFilesAreRefused) {
    std::string elevenOfTwelve = "d\n12\n";
    for (int i = 1; i <= 11; ++i)
        elevenOfTwelve += std::to_string(i * 100) + ".0\n";
    EXPECT_TRUE(refused(elevenOfTwelve));
    for (const char* degree :
         {"1.2.3", "1/2/3", "0/1", "3/0", "3/", "1.5/2", "abc.d", "abc", ".", "/", "3//"})
        EXPECT_TRUE(refused(withDegree(degree))) << degree;
    EXPECT_TRUE(refused("d\n0\n\n"));
    EXPECT_TRUE(refused("d\n0\n2/1\n")) << "a count of 0";
    EXPECT_TRUE(refused("d\ntwo\n3/2\n2/1\n"));
    EXPECT_TRUE(refused("d\n99999999999999999999\n2/1\n")) << "count beyond 64 bits";
    EXPECT_TRUE(refused("d\n1\n")) << "two lines";
    EXPECT_TRUE(refused("! a\n! b\n! c\nd\n"));
    EXPECT_TRUE(refused(""));
    EXPECT_TRUE(refused("\n\n\n\n"));
}

TEST(ScalaScale, NegativeAndNonFiniteDegreesAreRefused) {
    for (const char* degree : {"-100.0", "1/2", "-3/2", "3/-2", "-2", "1.0e999", "nan.0", "inf.0", "-0.5"})
        EXPECT_TRUE(refused(withDegree(degree))) << degree;
    EXPECT_EQ(centsOf(withDegree("-3/-2")).size(), 2u) << "a positive ratio";
    EXPECT_EQ(centsOf(withDegree("0.0")).at(0), 0.0);
}

TEST(ScalaScale, EmptyDescriptionLineIsTheDescription) {
    const auto blank = ScalaScale::make("! blank.scl\n!\n\n 2\n!\n 3/2\n 2/1\n");
    ASSERT_TRUE(blank);
    EXPECT_EQ(blank->description, "");
    EXPECT_EQ(blank->num, 2);
    EXPECT_EQ(ScalaScale::make("\n1\n2/1\n")->cents, std::vector<double>{1200.0});
    // Empty lines after the description are skipped in both readings.
    EXPECT_EQ(ScalaScale::make("\n2\n\n700.0\n\n2/1\n\n")->cents, (std::vector<double>{700.0, 1200.0}));
    // When both readings work, the one without empty lines wins.
    const auto ambiguous = ScalaScale::make("\n3\n2\n3\n4\n");
    ASSERT_TRUE(ambiguous);
    EXPECT_EQ(ambiguous->description, "3");
    EXPECT_EQ(ambiguous->num, 2);
}

TEST(ScalaScale, LineEndingsAndEncodings) {
    const std::vector<double> expected{700.0, 1200.0};
    EXPECT_EQ(centsOf("d\r\n2\r\n700.0\r\n2/1\r\n"), expected);
    EXPECT_EQ(ScalaScale::make("d\r\n2\r\n700.0\r\n2/1\r\n")->description, "d");
    EXPECT_EQ(centsOf("! c\r\n\r\n2\r\n700.0\r\n2/1\r\n"), expected);
    EXPECT_EQ(centsOf("\xEF\xBB\xBF! bom\nd\n2\n700.0\n2/1\n"), expected);

    const std::string utf16 = "! u\nd\n2\n700.0\n2/1\n";
    std::string little = "\xFF\xFE", big = "\xFE\xFF";
    for (char c : utf16) {
        little += c, little += '\0';
        big += '\0', big += c;
    }
    EXPECT_EQ(centsOf(little), expected);
    EXPECT_EQ(centsOf(big), expected);
}

// Files written the many ways real scala files are: comments, blank lines, CRLF, leading blanks,
// trailing remarks, and degrees in cents, as ratios and as bare whole numbers. Every one is read
// with the degrees it was written with.
TEST(ScalaScale, GeneratedFilesAreReadAsWritten) {
    std::mt19937 random(20240607);
    auto chance = [&](int percent) { return static_cast<int>(random() % 100) < percent; };
    int blankDescriptions = 0;
    for (int file = 0; file < 2000; ++file) {
        const std::string eol = chance(30) ? "\r\n" : "\n";
        std::string text;
        auto line = [&](const std::string& content) {
            if (chance(15)) text += "!" + std::string(chance(50) ? " remark" : "") + eol;
            if (chance(10)) text += (chance(50) ? "" : "  ") + eol;
            text += content + eol;
        };
        const bool blankDescription = chance(20);
        blankDescriptions += blankDescription;
        if (chance(70)) text += "! file.scl" + eol + "!" + eol;
        text += (blankDescription ? "" : "Scale " + std::to_string(file)) + eol;
        const int count = 1 + static_cast<int>(random() % 30);
        line(std::string(chance(50) ? " " : "") + std::to_string(count) + (chance(20) ? " degrees" : ""));
        std::vector<double> expected;
        for (int d = 0; d < count; ++d) {
            std::string degree;
            const int form = static_cast<int>(random() % 3);
            // After a blank description a leading bare number could be read as the count.
            if (form == 0 || (d == 0 && blankDescription)) {
                const int hundredths = static_cast<int>(random() % 240000);
                degree = std::to_string(hundredths / 100) + "." + std::to_string(hundredths % 100 / 10) +
                         std::to_string(hundredths % 10);
                expected.push_back(std::stod(degree));
            } else if (form == 1) {
                const int denominator = 1 + static_cast<int>(random() % 50);
                const int numerator = denominator + static_cast<int>(random() % 100);
                degree = std::to_string(numerator) + "/" + std::to_string(denominator);
                expected.push_back(1200.0 * std::log2(double(numerator) / denominator));
            } else {
                const int whole = 1 + static_cast<int>(random() % 8);
                degree = std::to_string(whole);
                expected.push_back(1200.0 * std::log2(double(whole)));
            }
            line((chance(60) ? " " : "") + degree + (chance(20) ? " ! remark" : ""));
        }
        if (chance(50)) text += eol;
        const auto scale = ScalaScale::make(text);
        ASSERT_TRUE(scale) << text;
        EXPECT_EQ(scale->num, count) << text;
        EXPECT_EQ(scale->cents, expected) << text;
    }
    EXPECT_GT(blankDescriptions, 200);
}
