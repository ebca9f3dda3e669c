#include "app/protocol/TuningDump.h"

#include "app/protocol/Latin1Text.h"

#include <algorithm>
#include <utility>

namespace malvo {

TuningDump TuningDump::fromNoteData(const std::array<mts_note_data, 128>& keys, std::string_view utf8Name) {
    std::vector<std::uint8_t> out{0xF0, 0x7E, 0x00, 0x08, 0x01, 0x00};
    out.reserve(size);
    const auto name = nameField(utf8Name);
    out.insert(out.end(), name.begin(), name.end());
    for (const mts_note_data& key : keys) {
        const auto bytes = keyBytes(key);
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    out.push_back(checksum(out));
    out.push_back(0xF7);
    return TuningDump(std::move(out));
}

std::optional<TuningDump> TuningDump::make(std::span<const std::uint8_t> fileContents) {
    if (fileContents.size() < size) return std::nullopt;
    const auto dump = fileContents.first(size);
    if (dump[0] != 0xF0 || dump[1] != 0x7E || dump[size - 1] != 0xF7) return std::nullopt;
    return TuningDump(std::vector<std::uint8_t>(dump.begin(), dump.end()));
}

std::array<std::uint8_t, TuningDump::nameLength> TuningDump::nameField(std::string_view utf8Name) {
    std::array<std::uint8_t, nameLength> field{};
    const auto bytes = latin1Bytes(utf8Name, nameLength);
    std::copy(bytes.begin(), bytes.end(), field.begin());
    return field;
}

std::uint8_t TuningDump::checksum(std::span<const std::uint8_t> dump) {
    std::uint8_t sum = 0;
    for (std::size_t i = 1; i < dump.size() && i < checksumOffset; ++i)
        sum ^= dump[i];
    return sum;
}

std::array<std::uint8_t, 3> TuningDump::keyBytes(const mts_note_data& key) {
    if (key.semi < 0) return {0x00, 0x00, 0x00};
    // 7F 7F 7F means "no change", so the top of the range is 7F 7F 7E.
    if (key.semi > 127 || (key.semi == 127 && (key.cents & 0x3FFF) == 0x3FFF)) return {0x7F, 0x7F, 0x7E};
    return {static_cast<std::uint8_t>(key.semi), static_cast<std::uint8_t>((key.cents >> 7) & 0x7F),
            static_cast<std::uint8_t>(key.cents & 0x7F)};
}

} // namespace malvo
