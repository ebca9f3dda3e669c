#include "sonabel/sequencing/MIDIMetaEventBuffer.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace sonabel {

std::optional<MIDIMetaEventBuffer> makeMIDIMetaEvent(std::uint8_t type, std::span<const std::uint8_t> data) {
    if (data.size() > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    MIDIMetaEventBuffer buffer;
    const std::size_t bytes = sizeof(MIDIMetaEvent) + data.size();
    buffer.storage_.assign((bytes + 3) / 4, 0);
    auto* raw = reinterpret_cast<std::uint8_t*>(buffer.storage_.data());
    raw[0] = type;
    const auto length = static_cast<std::uint32_t>(data.size());
    std::memcpy(raw + 4, &length, 4);
    std::copy(data.begin(), data.end(), raw + 8);
    return buffer;
}

} // namespace sonabel
