#pragma once
// A bank file holds one bank of an instrument as fixed-size records, with no header: 128 programs
// (98 bytes on a Pellandor, 512 in an ORVANE bank, 256 otherwise) or an ORVANE's 500 layers of 256
// bytes. These are the rules for which bank a chooser item means, what a downloaded bank is named,
// and which files can be sent back.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace malvo {

struct BankFile {
    // Where a download goes and the bank it asks for.
    struct DownloadTarget {
        std::string fileName; // proposed in the save panel
        std::uint8_t bank = 0;
        bool operator==(const DownloadTarget&) const = default;
    };

    // The bank byte of the upload chooser's item at this index; nullopt without a selection.
    static std::optional<std::uint8_t> uploadBank(int deviceModel, int index);
    // nullopt without a selection, and for a Pellandor's items from index 3 on.
    static std::optional<DownloadTarget> downloadTarget(int deviceModel, int index,
                                                        std::string_view portName);

    // The choosers' item for this bank byte ("Bank 2", "Factory Bank"); "bank byte N" for one
    // they do not list.
    static std::string bankName(int deviceModel, std::uint8_t bank, std::string_view portName);

    static bool isLayers(int deviceModel, std::uint8_t bank);
    // Records the bank holds: 128 programs or 500 layers.
    static std::size_t recordCount(int deviceModel, std::uint8_t bank);
    // Size of a whole downloaded bank: 12544, 32768, 65536 or 128000 bytes.
    static std::size_t fileSize(int deviceModel, std::uint8_t bank);
    // The largest file any bank takes.
    static constexpr std::size_t largestFileSize = 128000;

    // Every record message of the file, plain, in file order; nullopt for a file the bank cannot
    // take: empty, more records than the bank holds, or a byte above 7F in a layout that carries
    // bytes unchanged. A short last record is completed with the bytes the record before it left
    // in the read buffer (zeros when there was none).
    static std::optional<std::vector<std::vector<std::uint8_t>>>
    uploadRecords(std::span<const std::uint8_t> file, int deviceModel, std::uint8_t bank);
};

} // namespace malvo
