#include "sonabel/internals/utilities/TitleCasedWords.h"

#include <cctype>

namespace sonabel {

std::string titleCasedWords(std::string_view text) {
    std::string spaced;
    for (char c : text) {
        if (c >= 'A' && c <= 'Z') spaced += ' ';
        spaced += c;
    }
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    std::size_t b = 0, e = spaced.size();
    while (b < e && isSpace(spaced[b]))
        ++b;
    while (e > b && isSpace(spaced[e - 1]))
        --e;
    std::string out;
    bool startOfWord = true;
    for (std::size_t i = b; i < e; ++i) {
        const char c = spaced[i];
        if (isSpace(c)) {
            out += c;
            startOfWord = true;
        } else {
            out += startOfWord ? char(std::toupper(static_cast<unsigned char>(c)))
                               : char(std::tolower(static_cast<unsigned char>(c)));
            startOfWord = false;
        }
    }
    return out;
}

} // namespace sonabel
