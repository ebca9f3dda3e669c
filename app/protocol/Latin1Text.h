#pragma once
// Names travel to and from the instrument one byte per character: the character's code point
// when it is at most U+00FF. "Character" is what a user sees as one letter: a base with its
// combining marks counts once, by its base. Text is read in canonical composed form (NFC), so an
// "e" followed by a combining acute is the "é" typed as one; a mark that composes with nothing
// leaves its character without a byte.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace malvo {

// The text in canonical composed form; a malformed byte becomes U+FFFD.
std::string composed(std::string_view utf8);

// The first Unicode scalar of every character of the composed text, in order. Combining marks,
// variation selectors, emoji modifiers and joined sequences stay with the character they follow;
// a malformed byte is a character of its own (U+FFFD).
std::vector<char32_t> characterScalars(std::string_view utf8);

// The Latin-1 byte of every character, or nullopt for one that has none: above U+00FF, or still
// carrying a combining mark once composed.
std::vector<std::optional<std::uint8_t>> characterBytes(std::string_view utf8);

inline std::size_t characterCount(std::string_view utf8) {
    return characterScalars(utf8).size();
}

// At most maxCharacters bytes: each character's Latin-1 value, or '?' when it has none.
std::vector<std::uint8_t> latin1Bytes(std::string_view utf8, std::size_t maxCharacters);

// Why these bytes cannot travel inside a SysEx: the character of the first byte 80-FF, which a
// MIDI cable reads as a status byte, named in an alert that begins with `subject`. nullopt when
// every byte is 7-bit.
std::optional<std::string> sysExTextRefusal(std::string_view subject, std::span<const std::uint8_t> latin1);

// Why a name cannot travel to the instrument, in an alert that begins with `subject`: one of its
// first maxCharacters characters (all that go out) has no Latin-1 byte, or a byte 80-FF. nullopt
// when it can.
std::optional<std::string> latin1NameRefusal(std::string_view subject, std::string_view utf8,
                                             std::size_t maxCharacters);

// Bytes read as Latin-1 (00 to FF are U+0000 to U+00FF), as UTF-8 text.
std::string utf8FromLatin1(std::span<const std::uint8_t> bytes);

// Appends one scalar as UTF-8.
void appendUtf8(std::string& out, char32_t c);

} // namespace malvo
