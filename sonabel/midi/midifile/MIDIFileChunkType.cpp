#include "sonabel/midi/midifile/MIDIFileChunkType.h"

#include <algorithm>

namespace sonabel {

std::optional<MIDIFileChunkType> MIDIFileChunkType::make(std::string_view rawValue) {
    for (const Case c : {track, header})
        if (MIDIFileChunkType(c).rawValue() == rawValue) return MIDIFileChunkType(c);
    return std::nullopt;
}

std::optional<MIDIFileChunkType> MIDIFileChunkType::make(std::span<const MIDIByte> typeData) {
    // Bytes of 0x80 and above stand for characters that never match the ASCII names, so comparing
    // bytes is comparing characters.
    for (const Case c : {track, header}) {
        const std::string_view name = MIDIFileChunkType(c).rawValue();
        if (std::equal(typeData.begin(), typeData.end(), name.begin(), name.end(),
                       [](MIDIByte byte, char letter) { return byte == static_cast<unsigned char>(letter); }))
            return MIDIFileChunkType(c);
    }
    return std::nullopt;
}

} // namespace sonabel
