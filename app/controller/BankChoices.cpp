#include "app/controller/BankChoices.h"

#include "app/protocol/InstrumentModel.h"
#include "platform/core/ValueText.h"

namespace malvo {

namespace {

std::vector<std::string> numberedBanks(std::vector<std::string> items, int last) {
    for (int bank = 1; bank <= last; ++bank)
        items.push_back("Bank " + platform::describe(bank));
    return items;
}

} // namespace

std::vector<std::string> BankChoices::items(int deviceModel, std::string_view portName) {
    switch (deviceModel) {
    case int(InstrumentModel::ORVANE): {
        auto items = numberedBanks({"Factory Bank"}, 3);
        items.push_back("Layers");
        return items;
    }
    case int(InstrumentModel::Toskar):
        return numberedBanks({portName == "Toskar MK2" ? "WBTL" : "HV", "FT", "GN"}, 8);
    default:
        return numberedBanks({"Factory Bank"}, 9);
    }
}

} // namespace malvo
