#include "app/protocol/TuningImport.h"

#include "app/protocol/FileBytes.h"

namespace malvo {

std::optional<TuningImport> TuningImport::fromContents(const std::filesystem::path& path,
                                                       std::span<const std::uint8_t> contents) {
    const std::string name = nameOf(path);
    if (!isScalaFile(path)) {
        auto dump = TuningDump::make(contents);
        if (!dump) return std::nullopt;
        return TuningImport{name, std::nullopt, {}, std::move(*dump)};
    }
    if (contents.size() > maxScalaFileSize) return std::nullopt;
    auto scale =
        ScalaScale::make(std::string_view(reinterpret_cast<const char*>(contents.data()), contents.size()));
    if (!scale) return std::nullopt;
    const auto keys = scale->mtsData();
    return TuningImport{name, std::move(scale), keys, TuningDump::fromNoteData(keys, name)};
}

std::optional<TuningImport> TuningImport::fromFile(const std::filesystem::path& path) {
    // One byte past the limit tells an oversized scala file from one that just fits.
    const std::size_t limit = isScalaFile(path) ? maxScalaFileSize + 1 : TuningDump::size;
    const auto contents = readFileBytes(path, limit);
    if (!contents) return std::nullopt;
    return fromContents(path, *contents);
}

} // namespace malvo
