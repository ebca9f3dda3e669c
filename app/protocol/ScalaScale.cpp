#include "app/protocol/ScalaScale.h"

#include "app/protocol/Latin1Text.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <system_error>

namespace malvo {

namespace {

std::string fromUTF16(std::string_view bytes, bool bigEndian) {
    std::string out;
    auto unit = [&](std::size_t i) -> char32_t {
        const auto a = static_cast<std::uint8_t>(bytes[i]);
        const auto b = static_cast<std::uint8_t>(bytes[i + 1]);
        return bigEndian ? char32_t(a << 8 | b) : char32_t(b << 8 | a);
    };
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        char32_t c = unit(i);
        if (c >= 0xD800 && c <= 0xDBFF && i + 3 < bytes.size()) {
            const char32_t low = unit(i + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
        appendUtf8(out, c);
    }
    return out;
}

std::string decodeText(std::string_view bytes) {
    if (bytes.starts_with("\xEF\xBB\xBF")) return std::string(bytes.substr(3));
    if (bytes.starts_with("\xFF\xFE")) return fromUTF16(bytes.substr(2), false);
    if (bytes.starts_with("\xFE\xFF")) return fromUTF16(bytes.substr(2), true);
    return std::string(bytes);
}

// Length of the white-space character at text[i] (tab, line feed, form feed, carriage return
// and the Unicode space separators), or 0.
std::size_t whiteSpaceAt(std::string_view text, std::size_t i) {
    const auto at = [&](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
    const std::uint8_t c = at(i);
    if (c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r') return 1;
    const std::size_t left = text.size() - i;
    if (c == 0xC2 && left >= 2 && at(i + 1) == 0xA0) return 2;                      // U+00A0
    if (c == 0xE1 && left >= 3 && at(i + 1) == 0x9A && at(i + 2) == 0x80) return 3; // U+1680
    if (c == 0xE3 && left >= 3 && at(i + 1) == 0x80 && at(i + 2) == 0x80) return 3; // U+3000
    if (c == 0xE2 && left >= 3) {
        const std::uint8_t b1 = at(i + 1), b2 = at(i + 2);
        if (b1 == 0x80 && (b2 <= 0x8A || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF)) return 3; // U+2000..
        if (b1 == 0x81 && b2 == 0x9F) return 3;                                             // U+205F
    }
    return 0;
}

std::string_view withoutLeadingWhiteSpace(std::string_view line) {
    std::size_t i = 0;
    while (i < line.size()) {
        const std::size_t n = whiteSpaceAt(line, i);
        if (n == 0) break;
        i += n;
    }
    return line.substr(i);
}

// Everything before the first white space.
std::string_view firstToken(std::string_view line) {
    for (std::size_t i = 0; i < line.size(); ++i)
        if (whiteSpaceAt(line, i) != 0) return line.substr(0, i);
    return line;
}

// Base-10 whole number: optional sign, digits only, within 64 bits.
std::optional<std::int64_t> parseWholeNumber(std::string_view text) {
    std::string_view digits = text;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
    if (digits.empty()) return std::nullopt;
    for (char c : digits)
        if (c < '0' || c > '9') return std::nullopt;
    std::int64_t value = 0;
    // from_chars takes a minus sign itself but no plus sign.
    const std::string_view number = text.front() == '+' ? digits : text;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error != std::errc() || end != number.data() + number.size()) return std::nullopt;
    return value;
}

std::optional<double> parseWholeDouble(std::string_view text) {
    // Like from_chars, but a single leading plus sign is taken too.
    if (text.starts_with('+')) {
        text.remove_prefix(1);
        if (text.starts_with('+') || text.starts_with('-')) return std::nullopt;
    }
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// Pieces of text between separators, empty pieces left out.
std::size_t pieceCount(std::string_view text, char separator) {
    std::size_t count = 0;
    bool inPiece = false;
    for (char c : text) {
        if (c == separator) {
            inPiece = false;
        } else if (!inPiece) {
            inPiece = true;
            ++count;
        }
    }
    return count;
}

std::optional<double> ratioCents(std::string_view numeratorText, std::string_view denominatorText) {
    const auto numerator = parseWholeNumber(numeratorText);
    if (!numerator || *numerator == 0) return std::nullopt;
    const auto denominator = parseWholeNumber(denominatorText);
    if (!denominator || *denominator == 0) return std::nullopt;
    return 1200.0 * std::log2(static_cast<double>(*numerator) / static_cast<double>(*denominator));
}

std::optional<double> parseDegree(std::string_view token) {
    const bool hasDot = token.find('.') != std::string_view::npos;
    const std::size_t slash = token.find('/');
    std::optional<double> cents;
    if (hasDot && slash != std::string_view::npos) return std::nullopt;
    if (hasDot) {
        if (pieceCount(token, '.') >= 3) return std::nullopt;
        cents = parseWholeDouble(token);
    } else if (slash != std::string_view::npos) {
        if (pieceCount(token, '/') != 2) return std::nullopt;
        // Two pieces with empty ones left out: the numerator ends at the first slash after it.
        const std::size_t start = token.find_first_not_of('/');
        const std::size_t end = token.find('/', start);
        const std::size_t next = token.find_first_not_of('/', end);
        const std::size_t last = token.find('/', next);
        cents = ratioCents(token.substr(start, end - start), token.substr(next, last - next));
    } else {
        cents = ratioCents(token, "1");
    }
    // Negative and non-finite degrees have no place in the tuning table.
    if (!cents || !std::isfinite(*cents) || *cents < 0) return std::nullopt;
    return cents;
}

std::optional<ScalaScale> scaleFromLines(const std::vector<std::string_view>& lines) {
    if (lines.size() < 2) return std::nullopt;
    ScalaScale scale;
    std::string_view description = lines[0];
    if (description.ends_with('\r')) description.remove_suffix(1);
    scale.description = std::string(description);
    const auto count = parseWholeNumber(firstToken(lines[1]));
    if (!count || *count < 1 || static_cast<std::uint64_t>(*count) != lines.size() - 2) return std::nullopt;
    scale.num = *count;
    scale.cents.reserve(lines.size() - 2);
    for (std::size_t i = 2; i < lines.size(); ++i) {
        const auto degree = parseDegree(firstToken(lines[i]));
        if (!degree) return std::nullopt;
        scale.cents.push_back(*degree);
    }
    return scale;
}

} // namespace

std::optional<ScalaScale> ScalaScale::make(std::string_view fileText) {
    const std::string text = decodeText(fileText);
    std::vector<std::string_view> rawLines;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find('\n', start);
        rawLines.push_back(withoutLeadingWhiteSpace(std::string_view(text).substr(start, end - start)));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    if (rawLines.size() <= 2) return std::nullopt;

    std::vector<std::string_view> contentLines;
    std::vector<std::string_view> describedLines;
    for (std::string_view line : rawLines) {
        if (line.starts_with('!')) continue;
        if (!line.empty()) contentLines.push_back(line);
        // The scala format's own reading: the first line left is the description, even empty.
        if (!line.empty() || describedLines.empty()) describedLines.push_back(line);
    }
    if (auto scale = scaleFromLines(contentLines)) return scale;
    return scaleFromLines(describedLines);
}

std::array<mts_note_data, 128> ScalaScale::mtsData() const {
    std::array<mts_note_data, 128> keys{};
    if (num < 1 || cents.size() < static_cast<std::uint64_t>(num)) return keys;
    std::int64_t base = 0;
    for (std::int64_t k = 0; k < 128; ++k) {
        std::int64_t degree = (k - 60) % num;
        if (degree < 0) degree += num;
        mts_note_data& key = keys[static_cast<std::size_t>(k)];
        if (degree == 0) {
            key.semi = static_cast<int>(k);
            base = k;
            continue;
        }
        const double c = cents[static_cast<std::size_t>(degree - 1)];
        const double semitones = std::trunc(c / 100.0);
        const double semi = static_cast<double>(base) + semitones;
        if (!(semi < static_cast<double>(INT_MAX)) || semi <= static_cast<double>(INT_MIN)) {
            // Far off the keyboard: only which side of it matters.
            key.semi = semi < 0 ? INT_MIN : INT_MAX;
            continue;
        }
        key.semi = static_cast<int>(semi);
        const double fraction = std::trunc((c - 100.0 * semitones) * 163.84);
        key.cents = static_cast<std::uint16_t>(std::clamp(fraction, 0.0, 16383.0));
    }
    return keys;
}

} // namespace malvo
