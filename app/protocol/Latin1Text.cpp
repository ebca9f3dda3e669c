#include "app/protocol/Latin1Text.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>

namespace malvo {

namespace {

constexpr char32_t replacementCharacter = 0xFFFD;
constexpr char32_t zeroWidthJoiner = 0x200D;

// Decodes one scalar at text[i], advancing i; malformed or overlong input yields U+FFFD for
// one byte.
char32_t decodeScalar(std::string_view text, std::size_t& i) {
    auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
    const std::uint8_t lead = byte(i);
    if (lead < 0x80) {
        ++i;
        return lead;
    }
    std::size_t length = 0;
    char32_t scalar = 0;
    char32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, scalar = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, scalar = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, scalar = lead & 0x07, minimum = 0x10000;
    } else {
        ++i;
        return replacementCharacter;
    }
    if (text.size() - i < length) {
        ++i;
        return replacementCharacter;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            ++i;
            return replacementCharacter;
        }
        scalar = (scalar << 6) | (byte(i + k) & 0x3F);
    }
    if (scalar < minimum || scalar > 0x10FFFF || (scalar >= 0xD800 && scalar <= 0xDFFF)) {
        ++i;
        return replacementCharacter;
    }
    i += length;
    return scalar;
}

bool extendsCharacter(char32_t c) {
    return (c >= 0x0300 && c <= 0x036F) || (c >= 0x1AB0 && c <= 0x1AFF) || (c >= 0x1DC0 && c <= 0x1DFF) ||
           (c >= 0x20D0 && c <= 0x20FF) || (c >= 0xFE20 && c <= 0xFE2F) || (c >= 0xFE00 && c <= 0xFE0F) ||
           (c >= 0xE0100 && c <= 0xE01EF) || (c >= 0x1F3FB && c <= 0x1F3FF) ||
           (c >= 0xE0020 && c <= 0xE007F) || c == zeroWidthJoiner;
}

// A mark that changes the letter; a variation selector only asks for a way of drawing it.
bool isMark(char32_t c) {
    if ((c >= 0xFE00 && c <= 0xFE0F) || (c >= 0xE0100 && c <= 0xE01EF)) return false;
    const auto type = u_charType(static_cast<UChar32>(c));
    return type == U_NON_SPACING_MARK || type == U_ENCLOSING_MARK || type == U_COMBINING_SPACING_MARK;
}

// The scalars of the text in canonical composed form. Should the library's data be missing, the
// text stays as it came: its marks then keep their characters from having a byte.
std::u32string composedScalars(std::string_view utf8) {
    icu::UnicodeString text;
    std::u32string scalars;
    for (std::size_t i = 0; i < utf8.size();) {
        scalars.push_back(decodeScalar(utf8, i));
        text.append(static_cast<UChar32>(scalars.back()));
    }
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) return scalars;
    const icu::UnicodeString normal = nfc->normalize(text, status);
    if (U_FAILURE(status)) return scalars;
    std::u32string out;
    for (std::int32_t i = 0; i < normal.length(); i = normal.moveIndex32(i, 1))
        out.push_back(static_cast<char32_t>(normal.char32At(i)));
    return out;
}

// Each character's scalars, base first.
std::vector<std::u32string> characters(std::string_view utf8) {
    std::vector<std::u32string> out;
    char32_t previous = 0;
    for (const char32_t scalar : composedScalars(utf8)) {
        const bool joined = !out.empty() && (extendsCharacter(scalar) || previous == zeroWidthJoiner ||
                                             (previous == U'\r' && scalar == U'\n'));
        if (joined)
            out.back().push_back(scalar);
        else
            out.push_back(std::u32string(1, scalar));
        previous = scalar;
    }
    return out;
}

} // namespace

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string composed(std::string_view utf8) {
    std::string out;
    for (const char32_t c : composedScalars(utf8))
        appendUtf8(out, c);
    return out;
}

std::vector<char32_t> characterScalars(std::string_view utf8) {
    std::vector<char32_t> out;
    for (const auto& character : characters(utf8))
        out.push_back(character.front());
    return out;
}

std::vector<std::optional<std::uint8_t>> characterBytes(std::string_view utf8) {
    std::vector<std::optional<std::uint8_t>> out;
    for (const auto& character : characters(utf8)) {
        const bool marked = std::any_of(character.begin() + 1, character.end(), isMark);
        if (character.front() <= 0xFF && !marked)
            out.push_back(static_cast<std::uint8_t>(character.front()));
        else
            out.push_back(std::nullopt);
    }
    return out;
}

std::vector<std::uint8_t> latin1Bytes(std::string_view utf8, std::size_t maxCharacters) {
    std::vector<std::uint8_t> out;
    for (const auto& byte : characterBytes(utf8)) {
        if (out.size() == maxCharacters) break;
        out.push_back(byte.value_or(std::uint8_t('?')));
    }
    return out;
}

std::optional<std::string> sysExTextRefusal(std::string_view subject, std::span<const std::uint8_t> latin1) {
    const auto found = std::find_if(latin1.begin(), latin1.end(), [](std::uint8_t b) { return b >= 0x80; });
    if (found == latin1.end()) return std::nullopt;
    constexpr std::string_view digits = "0123456789ABCDEF";
    const std::uint8_t byte = *found;
    return std::string(subject) + " can't use \"" + utf8FromLatin1(std::span(&byte, 1)) + "\": its byte " +
           digits[byte >> 4] + digits[byte & 0xF] +
           " cannot cross a MIDI cable inside a SysEx. Use ASCII characters only!";
}

std::optional<std::string> latin1NameRefusal(std::string_view subject, std::string_view utf8,
                                             std::size_t maxCharacters) {
    const auto bytes = characterBytes(utf8);
    if (std::any_of(bytes.begin(), bytes.begin() + std::ptrdiff_t(std::min(bytes.size(), maxCharacters)),
                    [](const auto& byte) { return !byte; }))
        return std::string(subject) + " can only use Latin-1 characters!";
    return sysExTextRefusal(subject, latin1Bytes(utf8, maxCharacters));
}

std::string utf8FromLatin1(std::span<const std::uint8_t> bytes) {
    std::string out;
    for (std::uint8_t b : bytes)
        appendUtf8(out, b);
    return out;
}

} // namespace malvo
