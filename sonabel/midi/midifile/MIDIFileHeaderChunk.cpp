#include "sonabel/midi/midifile/MIDIFileHeaderChunk.h"

namespace sonabel {

namespace {
std::uint16_t field(std::span<const MIDIByte> body, std::size_t at) {
    if (body.size() < at + 2) return 0;
    return static_cast<std::uint16_t>((body[at] << 8) | body[at + 1]);
}
} // namespace

std::optional<MIDIFileHeaderChunk> MIDIFileHeaderChunk::make(std::span<const MIDIByte> data) {
    auto bytes = chunkBytes(data, MIDIFileChunkType::header);
    if (!bytes) return std::nullopt;
    MIDIFileHeaderChunk header{{std::move(*bytes)}};
    if (header.format() > kLastFormat) return std::nullopt;
    return header;
}

int MIDIFileHeaderChunk::format() const {
    return field(body(), 0);
}

int MIDIFileHeaderChunk::trackCount() const {
    return field(body(), 2);
}

std::uint16_t MIDIFileHeaderChunk::timeDivision() const {
    return field(body(), 4);
}

} // namespace sonabel
