// Names as the instrument stores them: read in canonical composed form, one Latin-1 byte per
// character, refused where the wire would change them.
#include "app/controller/ProgramName.h"
#include "app/protocol/Latin1Text.h"
#include "app/protocol/TuningDump.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace malvo;
using Bytes = std::vector<std::optional<std::uint8_t>>;

namespace {

const std::string refusedE9 = "Name can't use \"\xC3\xA9\": its byte E9 cannot cross a MIDI cable inside a "
                              "SysEx. Use ASCII characters only!";

} // namespace

TEST(Latin1Text, EveryCharacterIsReadComposedBeforeItGetsItsByte) {
    struct Case {
        const char* what;
        std::string utf8;
        std::string composedUtf8;
        Bytes bytes;
    };
    const std::vector<Case> cases{
        {"precomposed", "Caf\xC3\xA9", "Caf\xC3\xA9", {'C', 'a', 'f', 0xE9}},
        {"e and a combining acute", "Cafe\xCC\x81", "Caf\xC3\xA9", {'C', 'a', 'f', 0xE9}},
        {"A and a combining ring", "A\xCC\x8A", "\xC3\x85", {0xC5}},
        // Canonical singletons: no table of letter-and-accent pairs holds them.
        {"the angstrom sign", "\xE2\x84\xAB", "\xC3\x85", {0xC5}},
        {"the ohm sign", "\xE2\x84\xA6", "\xCE\xA9", {std::nullopt}},
        // Marks in any order come out in canonical order, and compose where they can.
        {"c with cedilla then acute, marks reversed", "c\xCC\x81\xCC\xA7", "\xE1\xB8\x89", {std::nullopt}},
        {"Hangul jamo", "\xE1\x84\x80\xE1\x85\xA1", "\xEA\xB0\x80", {std::nullopt}},
        {"a mark that composes with nothing", "q\xCC\x81x", "q\xCC\x81x", {std::nullopt, 'x'}},
        {"two marks, one composing", "e\xCC\x81\xCC\xB3", "\xC3\xA9\xCC\xB3", {std::nullopt}},
        {"a variation selector on an ASCII digit", "1\xEF\xB8\x8F", "1\xEF\xB8\x8F", {'1'}},
        {"CR LF, one character", "a\r\nb", "a\r\nb", {'a', '\r', 'b'}},
        {"a malformed byte",
         "a\xFF"
         "b",
         "a\xEF\xBF\xBD"
         "b",
         {'a', std::nullopt, 'b'}},
        {"empty", "", "", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(composed(c.utf8), c.composedUtf8);
        EXPECT_EQ(characterBytes(c.utf8), c.bytes);
        EXPECT_EQ(characterCount(c.utf8), c.bytes.size());
    }
}

TEST(Latin1Text, ADecomposedAccentIsRefusedAsThePrecomposedOneIs) {
    struct Case {
        std::string name;
        std::optional<std::string> refusal;
    };
    const std::vector<Case> cases{
        {"Caf\xC3\xA9", refusedE9},
        {"Cafe\xCC\x81", refusedE9},
        {"Cafe\xCC\x81s and more", refusedE9},
        {"q\xCC\x81", "Name can only use Latin-1 characters!"},
        {"Cafe", std::nullopt},
        // Fifteen characters, five of them decomposed.
        {std::string("eeeee") + "e\xCC\x81" + "e\xCC\x81" + "e\xCC\x81" + "e\xCC\x81" + "e\xCC\x81" + "eeeee",
         refusedE9},
        {std::string(15, 'e') + "e\xCC\x81", "Name must have less than 16 characters!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ProgramName::refusal(c.name), c.refusal);
    }
    // What goes out is the composed letter's byte.
    EXPECT_EQ(ProgramName::message(2, "Cafe\xCC\x81"), ProgramName::message(2, "Caf\xC3\xA9"));
}

TEST(Latin1Text, AScalaNameIsComposedIntoItsDumpField) {
    const auto precomposed = TuningDump::nameField("Pythagor\xC3\xA9");
    EXPECT_EQ(TuningDump::nameField("Pythagore\xCC\x81"), precomposed);
    EXPECT_EQ(precomposed[8], 0xE9);
    EXPECT_EQ(precomposed[9], 0x00);
    // And so refused alike.
    const auto field = TuningDump::nameField("Pythagore\xCC\x81");
    EXPECT_EQ(sysExTextRefusal("Tuning name", field),
              "Tuning name can't use \"\xC3\xA9\": its byte E9 cannot cross a MIDI cable inside a SysEx. Use "
              "ASCII characters only!");
    // A mark with nothing to compose with leaves no byte: '?', never the bare base letter.
    EXPECT_EQ(TuningDump::nameField("q\xCC\x81")[0], '?');
}
