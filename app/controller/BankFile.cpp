#include "app/controller/BankFile.h"

#include "app/controller/BankChoices.h"
#include "app/protocol/InstrumentMessages.h"
#include "app/protocol/InstrumentModel.h"
#include "platform/core/ValueText.h"

#include <algorithm>

namespace malvo {

namespace {

constexpr int pellandor = int(InstrumentModel::Pellandor);
constexpr int toskar = int(InstrumentModel::Toskar);
constexpr int velmor = int(InstrumentModel::Velmor);
constexpr int orvane = int(InstrumentModel::ORVANE);
constexpr std::size_t programsPerBank = 128;
constexpr std::size_t layersPerBank = 500;

std::string numbered(std::string_view prefix, int number) {
    return std::string(prefix) + platform::describe(number) + ".p";
}

} // namespace

std::optional<std::uint8_t> BankFile::uploadBank(int deviceModel, int index) {
    if (index < 0 || index > 0x7F) return std::nullopt;
    static constexpr std::uint8_t toskarBanks[] = {2, 1, 10, 0};
    static constexpr std::uint8_t otherBanks[] = {2, 0, 1, 3};
    if (deviceModel == orvane) return std::uint8_t(index);
    if (index >= 4) return std::uint8_t(deviceModel == toskar ? index - 1 : index);
    return deviceModel == toskar ? toskarBanks[index] : otherBanks[index];
}

std::optional<BankFile::DownloadTarget> BankFile::downloadTarget(int deviceModel, int index,
                                                                 std::string_view portName) {
    if (index < 0 || index > 0x7F) return std::nullopt;
    switch (deviceModel) {
    case pellandor: {
        static constexpr std::uint8_t banks[] = {2, 0, 1};
        if (index >= 3) return std::nullopt;
        const std::string names[] = {"pn_bank_f.p", "pn_bank_1.p", "pn_bank_2.p"};
        return DownloadTarget{names[index], banks[index]};
    }
    case toskar: {
        if (index >= 5) return DownloadTarget{numbered("Toskar_bnk", index - 2), std::uint8_t(index - 1)};
        static constexpr std::uint8_t banks[] = {2, 1, 10, 0, 3};
        const std::string names[] = {portName == "Toskar MK2" ? "Toskar_WBTL.p" : "Toskar_HV.p",
                                     "Toskar_FT.p", "Toskar_GN.p", "Toskar_bnk1.p", "Toskar_bnk2.p"};
        return DownloadTarget{names[index], banks[index]};
    }
    case velmor: {
        if (index >= 5) return DownloadTarget{numbered("Velmor_bnk", index), std::uint8_t(index)};
        static constexpr std::uint8_t banks[] = {2, 0, 1, 3, 4};
        const std::string names[] = {"Velmor_Fctry.p", "Velmor_bnk1.p", "Velmor_bnk2.p", "Velmor_bnk3.p",
                                     "Velmor_bnk4.p"};
        return DownloadTarget{names[index], banks[index]};
    }
    default: {
        if (index >= 5) return DownloadTarget{numbered("Orvane_bnk", index), std::uint8_t(index)};
        const std::string names[] = {"Orvane_Fctry.p", "Orvane_bnk1.p", "Orvane_bnk2.p", "Orvane_bnk3.p",
                                     "Orvane_layers.p"};
        return DownloadTarget{names[index], std::uint8_t(index)};
    }
    }
}

std::string BankFile::bankName(int deviceModel, std::uint8_t bank, std::string_view portName) {
    const auto items = BankChoices::items(deviceModel, portName);
    for (std::size_t i = 0; i < items.size(); ++i)
        if (const auto target = downloadTarget(deviceModel, int(i), portName); target && target->bank == bank)
            return items[i];
    return "bank byte " + platform::describe(int(bank));
}

bool BankFile::isLayers(int deviceModel, std::uint8_t bank) {
    return deviceModel == orvane && bank == layersBank;
}

std::size_t BankFile::recordCount(int deviceModel, std::uint8_t bank) {
    return isLayers(deviceModel, bank) ? layersPerBank : programsPerBank;
}

std::size_t BankFile::fileSize(int deviceModel, std::uint8_t bank) {
    return recordCount(deviceModel, bank) * bankRecordSize(std::uint8_t(deviceModel), bank);
}

std::optional<std::vector<std::vector<std::uint8_t>>>
BankFile::uploadRecords(std::span<const std::uint8_t> file, int deviceModel, std::uint8_t bank) {
    const auto model = std::uint8_t(deviceModel);
    const std::size_t size = bankRecordSize(model, bank);
    const std::size_t count = (file.size() + size - 1) / size;
    if (file.empty() || count > recordCount(deviceModel, bank)) return std::nullopt;
    // Only the Pellandor's records split bytes into 7-bit halves; elsewhere a byte above 7F would
    // end the message early or corrupt it.
    if (deviceModel != pellandor &&
        std::any_of(file.begin(), file.end(), [](std::uint8_t b) { return b > 0x7F; }))
        return std::nullopt;

    std::vector<std::vector<std::uint8_t>> records;
    records.reserve(count);
    std::vector<std::uint8_t> buffer(size, 0);
    for (std::size_t r = 0; r < count; ++r) {
        const auto chunk = file.subspan(r * size, std::min(size, file.size() - r * size));
        std::copy(chunk.begin(), chunk.end(), buffer.begin());
        auto message = bankRecordMessage(model, bank, std::uint16_t(r), buffer);
        if (!message) return std::nullopt;
        records.push_back(std::move(*message));
    }
    return records;
}

} // namespace malvo
