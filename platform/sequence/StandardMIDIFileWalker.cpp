#include "platform/sequence/StandardMIDIFileWalker.h"

#include <algorithm>

namespace platform::sequence {

std::optional<StandardMIDIFileWalker::Chunk>
StandardMIDIFileWalker::chunk(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 8) return std::nullopt;
    const std::uint32_t length = (std::uint32_t{bytes[4]} << 24) | (std::uint32_t{bytes[5]} << 16) |
                                 (std::uint32_t{bytes[6]} << 8) | bytes[7];
    const auto rest = bytes.subspan(8);
    return Chunk{bytes.first(4), length, rest.first(std::min<std::size_t>(length, rest.size()))};
}

bool StandardMIDIFileWalker::Event::isWellFormed() const {
    switch (kind) {
    case EventKind::meta:
    case EventKind::sysEx:
    case EventKind::escape:
        return delta.isStrict() && length.isStrict() && whole;
    case EventKind::channel:
        return delta.isStrict() && whole;
    default:
        return false;
    }
}

} // namespace platform::sequence
