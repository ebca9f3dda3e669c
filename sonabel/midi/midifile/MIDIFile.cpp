#include "sonabel/midi/midifile/MIDIFile.h"

#include "platform/sequence/StandardMIDIFileWalker.h"
#include "sonabel/internals/error_handling/Log.h"

#include <algorithm>
#include <fstream>

namespace sonabel {

namespace {
std::vector<MIDIByte> readWholeFile(const std::filesystem::path& path) {
    std::vector<MIDIByte> bytes;
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) return bytes;
    std::ifstream file(path, std::ios::binary);
    if (!file) return bytes;
    // Read in blocks rather than trusting a size that may change under us.
    constexpr std::size_t kBlock = 1 << 16;
    for (;;) {
        const std::size_t used = bytes.size();
        bytes.resize(used + kBlock);
        file.read(reinterpret_cast<char*>(bytes.data() + used), kBlock);
        bytes.resize(used + static_cast<std::size_t>(file.gcount()));
        if (!file) break;
    }
    if (file.bad()) bytes.clear();
    return bytes;
}

bool isFourCharacterCode(std::span<const MIDIByte> type) {
    return std::all_of(type.begin(), type.end(), [](MIDIByte byte) { return byte >= 0x20 && byte < 0x7F; });
}

std::string filenameOf(const std::filesystem::path& path) {
    std::string text = path.string();
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return std::string(lastPathComponent(text));
}
} // namespace

MIDIFile::MIDIFile(const std::filesystem::path& path) : MIDIFile(filenameOf(path), readWholeFile(path)) {}

MIDIFile::MIDIFile(std::string name, std::span<const MIDIByte> data) : filename(std::move(name)) {
    std::size_t offset = 0;
    while (offset < data.size()) {
        const auto rest = data.subspan(offset);
        if (auto header = MIDIFileHeaderChunk::make(rest)) {
            offset += header->rawData.size();
            chunks.emplace_back(std::move(*header));
        } else if (auto track = MIDIFileTrackChunk::make(rest)) {
            offset += track->rawData.size();
            chunks.emplace_back(std::move(*track));
        } else if (const auto other = platform::sequence::StandardMIDIFileWalker::chunk(rest);
                   other && isFourCharacterCode(other->type) &&
                   MIDIFileChunkType::make(other->type) != MIDIFileChunkType::header) {
            // A chunk of a kind we do not read is stepped over whole; garbage, or a header we
            // cannot read (an unknown format), ends the reading.
            if (!other->isWhole()) break;
            offset += other->size();
        } else {
            break;
        }
    }
}

const MIDIFileChunk& MIDIFile::chunk(const Chunk& chunk) {
    return std::visit([](const auto& c) -> const MIDIFileChunk& { return c; }, chunk);
}

std::optional<MIDIFileHeaderChunk> MIDIFile::headerChunk() const {
    for (const auto& c : chunks)
        if (const auto* header = std::get_if<MIDIFileHeaderChunk>(&c)) return *header;
    return std::nullopt;
}

int MIDIFile::format() const {
    const auto header = headerChunk();
    return header ? header->format() : 0;
}

int MIDIFile::trackCount() const {
    const auto header = headerChunk();
    return header ? header->trackCount() : 0;
}

std::uint16_t MIDIFile::timeDivision() const {
    const auto header = headerChunk();
    return header ? header->timeDivision() : 0;
}

std::optional<MIDITimeFormat> MIDIFile::timeFormat() const {
    if (!headerChunk()) return std::nullopt;
    return (timeDivision() & 0x8000) ? MIDITimeFormat::framesPerSecond : MIDITimeFormat::ticksPerBeat;
}

std::optional<int> MIDIFile::ticksPerBeat() const {
    if (timeFormat() != MIDITimeFormat::ticksPerBeat) return std::nullopt;
    return timeDivision() & 0x7FFF;
}

std::optional<int> MIDIFile::framesPerSecond() const {
    if (timeFormat() != MIDITimeFormat::framesPerSecond) return std::nullopt;
    return (timeDivision() >> 8) & 0x7F;
}

std::optional<int> MIDIFile::ticksPerFrame() const {
    if (timeFormat() != MIDITimeFormat::framesPerSecond) return std::nullopt;
    return timeDivision() & 0xFF;
}

std::vector<MIDIFileTrackChunk> MIDIFile::trackChunks() const {
    auto it = chunks.begin();
    while (it != chunks.end() && chunk(*it).isHeader() && chunk(*it).isValid())
        ++it;
    std::vector<MIDIFileTrackChunk> result;
    for (; it != chunks.end(); ++it) {
        const auto* track = std::get_if<MIDIFileTrackChunk>(&*it);
        if (!track) return {};
        result.push_back(*track);
    }
    return result;
}

std::vector<MIDIFileTrack> MIDIFile::tracks() const {
    auto trackChunkList = trackChunks();
    const bool skipTempoTrack = headerChunk() && format() == 1 && !trackChunkList.empty();
    std::vector<MIDIFileTrack> result;
    for (std::size_t i = skipTempoTrack ? 1 : 0; i < trackChunkList.size(); ++i)
        result.push_back(MIDIFileTrack{std::move(trackChunkList[i])});
    return result;
}

std::optional<MIDIFileTempoTrack> MIDIFile::tempoTrack() const {
    if (format() != 1) return std::nullopt;
    const auto trackChunkList = trackChunks();
    if (trackChunkList.empty()) return std::nullopt;
    return MIDIFileTempoTrack::make(trackChunkList.front());
}

} // namespace sonabel
