#pragma once
#include <string>
#include <string_view>

namespace sonabel {

// Camel-case words apart and capitalised: a blank before every capital A to Z, white space
// trimmed, then each word with its first letter upper case and the rest lower case.
std::string titleCasedWords(std::string_view text);

} // namespace sonabel
