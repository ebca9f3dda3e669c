#pragma once
// The items of the two bank choosers for the open instrument, in bank order: an item's position
// is the bank index the bank transfers use. The first item is selected after filling.
#include <string>
#include <string_view>
#include <vector>

namespace malvo {

struct BankChoices {
    static std::vector<std::string> items(int deviceModel, std::string_view portName);
};

} // namespace malvo
