#include "sonabel/midi/midifile/MIDIFileChunk.h"

#include "platform/sequence/StandardMIDIFileWalker.h"

#include <algorithm>

namespace sonabel {

namespace {
std::span<const MIDIByte> slice(std::span<const MIDIByte> bytes, std::size_t from, std::size_t to) {
    from = std::min(from, bytes.size());
    return bytes.subspan(from, std::min(to, bytes.size()) - from);
}

std::uint32_t bigEndian32(std::span<const MIDIByte> bytes) {
    std::uint32_t value = 0;
    for (const MIDIByte byte : bytes.first(std::min<std::size_t>(bytes.size(), 4)))
        value = (value << 8) | byte;
    return value;
}

std::vector<MIDIByte> toVector(std::span<const MIDIByte> bytes) {
    return {bytes.begin(), bytes.end()};
}
} // namespace

std::vector<MIDIByte> MIDIFileChunk::typeData() const {
    return toVector(slice(rawData, 0, 4));
}

std::vector<MIDIByte> MIDIFileChunk::lengthData() const {
    return toVector(slice(rawData, 4, 8));
}

std::vector<MIDIByte> MIDIFileChunk::data() const {
    return toVector(body());
}

std::span<const MIDIByte> MIDIFileChunk::body() const {
    return slice(rawData, 8, rawData.size());
}

std::optional<MIDIFileChunkType> MIDIFileChunk::type() const {
    return MIDIFileChunkType::make(slice(rawData, 0, 4));
}

std::int64_t MIDIFileChunk::length() const {
    return bigEndian32(slice(rawData, 4, 8));
}

std::optional<std::vector<MIDIByte>> MIDIFileChunk::chunkBytes(std::span<const MIDIByte> data,
                                                               MIDIFileChunkType expected) {
    const auto chunk = platform::sequence::StandardMIDIFileWalker::chunk(data);
    if (!chunk || data.size() < 9 || !chunk->isWhole()) return std::nullopt;
    if (MIDIFileChunkType::make(chunk->type) != expected) return std::nullopt;
    return toVector(data.first(chunk->size()));
}

} // namespace sonabel
