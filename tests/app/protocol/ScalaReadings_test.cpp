// The archive measurement, rerun on scala files of our own making: the line-by-line reading that
// drops every empty line is kept here as a reference, and no file it accepts may be refused or
// read differently by ScalaScale, while the files only the scala format's own reading accepts
// (bare whole numbers, empty descriptions) are taken as well.
#include "app/protocol/ScalaScale.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

using namespace malvo;

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::vector<std::string> split(const std::string& text, char at, bool omitEmpty) {
    std::vector<std::string> pieces;
    std::string piece;
    for (char c : text) {
        if (c != at) {
            piece += c;
            continue;
        }
        if (!omitEmpty || !piece.empty()) pieces.push_back(piece);
        piece.clear();
    }
    if (!omitEmpty || !piece.empty()) pieces.push_back(piece);
    return pieces;
}

// Optional sign, digits only.
std::optional<long long> wholeNumber(const std::string& text) {
    std::size_t i = text.empty() || (text[0] != '+' && text[0] != '-') ? 0 : 1;
    if (i == text.size()) return std::nullopt;
    for (std::size_t j = i; j < text.size(); ++j)
        if (text[j] < '0' || text[j] > '9') return std::nullopt;
    return std::stoll(text);
}

std::optional<double> wholeDouble(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size()) return std::nullopt;
    return value;
}

// The reading that removes every empty line: the degrees in cents, or nullopt when it refuses.
std::optional<std::vector<double>> emptyLinesRemovedReading(const std::string& text) {
    const auto all = split(text, '\n', false);
    if (all.size() <= 2) return std::nullopt;
    std::vector<std::string> lines;
    for (auto line : all) {
        std::size_t start = 0;
        while (start < line.size() && isSpace(line[start]))
            ++start;
        line = line.substr(start);
        if (line.empty() || line[0] == '!') continue;
        lines.push_back(line);
    }
    if (lines.size() < 2) return std::nullopt;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::size_t end = 0;
        while (end < lines[i].size() && !isSpace(lines[i][end]))
            ++end;
        lines[i] = lines[i].substr(0, end);
    }
    const auto num = wholeNumber(lines[1]);
    if (!num || *num == 0 || static_cast<long long>(lines.size()) != *num + 2) return std::nullopt;
    std::vector<double> cents;
    for (std::size_t i = 2; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        const bool dot = line.find('.') != std::string::npos;
        const bool slash = line.find('/') != std::string::npos;
        if (dot && slash) return std::nullopt;
        if (dot) {
            if (split(line, '.', true).size() >= 3) return std::nullopt;
            const auto value = wholeDouble(line);
            if (!value) return std::nullopt;
            cents.push_back(*value);
        } else if (slash) {
            const auto parts = split(line, '/', true);
            if (parts.size() != 2) return std::nullopt;
            const auto n = wholeNumber(parts[0]);
            const auto d = wholeNumber(parts[1]);
            if (!n || *n == 0 || !d || *d == 0) return std::nullopt;
            cents.push_back(1200.0 * std::log2(double(*n) / double(*d)));
        } else {
            return std::nullopt;
        }
    }
    return cents;
}

struct Measurement {
    int files = 0;
    int referenceAccepts = 0;
    int accepted = 0;
    int refusedOfReference = 0;
    int readDifferently = 0;
};

} // namespace

TEST(ScalaReadings, NoFileTheEmptyLinesRemovedReadingAcceptsIsRefused) {
    std::mt19937 random(4581);
    auto chance = [&](int percent) { return static_cast<int>(random() % 100) < percent; };
    Measurement m;
    for (int file = 0; file < 4581; ++file) {
        const std::string eol = chance(25) ? "\r\n" : "\n";
        const bool bareNumbers = chance(15);
        const bool blankDescription = chance(10);
        const bool blankLines = chance(20);
        std::string text;
        auto line = [&](const std::string& content) {
            if (blankLines && chance(20)) text += (chance(50) ? "" : " \t") + eol;
            if (chance(10)) text += "!" + std::string(chance(50) ? " note" : "") + eol;
            text += content + eol;
        };
        if (chance(80)) text += "! scale" + std::to_string(file) + ".scl" + eol + "!" + eol;
        text +=
            (blankDescription ? "" : (chance(50) ? " " : "") + std::string("Scale ") + std::to_string(file)) +
            eol;
        const int count = 1 + static_cast<int>(random() % 24);
        line((chance(40) ? " " : "") + std::to_string(count) + (chance(15) ? " notes" : ""));
        for (int d = 0; d < count; ++d) {
            std::string degree;
            const int form = bareNumbers && chance(30) ? 2 : static_cast<int>(random() % 2);
            if (form == 0) {
                const int thousandths = static_cast<int>(random() % 1'300'000);
                degree = std::to_string(thousandths / 1000) + "." +
                         std::to_string(1000 + thousandths % 1000).substr(1);
            } else if (form == 1) {
                const int denominator = 1 + static_cast<int>(random() % 64);
                degree = std::to_string(denominator + static_cast<int>(random() % 128)) + "/" +
                         std::to_string(denominator);
            } else {
                degree = std::to_string(1 + random() % 4);
            }
            line((chance(50) ? " " : "") + degree + (chance(10) ? "  ! remark" : ""));
        }
        if (chance(30)) text += eol;

        ++m.files;
        const auto reference = emptyLinesRemovedReading(text);
        const auto scale = ScalaScale::make(text);
        m.referenceAccepts += reference.has_value();
        m.accepted += scale.has_value();
        if (!reference) continue;
        if (!scale) {
            ++m.refusedOfReference;
            ADD_FAILURE() << "refused:\n" << text;
        } else if (scale->cents != *reference) {
            ++m.readDifferently;
            ADD_FAILURE() << "read differently:\n" << text;
        }
    }
    RecordProperty("files", m.files);
    RecordProperty("accepted_by_reference", m.referenceAccepts);
    RecordProperty("accepted", m.accepted);
    EXPECT_EQ(m.refusedOfReference, 0);
    EXPECT_EQ(m.readDifferently, 0);
    // The files that use bare whole numbers or an empty description are what the reference loses.
    EXPECT_GT(m.referenceAccepts, m.files / 2);
    EXPECT_GT(m.accepted - m.referenceAccepts, m.files / 10);
    EXPECT_EQ(m.accepted, m.files) << "every generated file is valid by the scala format";
}
