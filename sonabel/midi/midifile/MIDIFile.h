#pragma once
// A Standard MIDI File read whole from disk and held as its header and track chunks. Reading never
// fails: an unreadable file has no chunks, and a header of an unknown format ends the reading.
#include "sonabel/midi/MIDIByte.h"
#include "sonabel/midi/MIDITimeFormat.h"
#include "sonabel/midi/midifile/MIDIFileHeaderChunk.h"
#include "sonabel/midi/midifile/MIDIFileTempoTrack.h"
#include "sonabel/midi/midifile/MIDIFileTrack.h"
#include "sonabel/midi/midifile/MIDIFileTrackChunk.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace sonabel {

struct MIDIFile {
    using Chunk = std::variant<MIDIFileHeaderChunk, MIDIFileTrackChunk>;

    // Last path component of the file read.
    std::string filename;
    // In file order.
    std::vector<Chunk> chunks;

    MIDIFile() = default;
    explicit MIDIFile(const std::filesystem::path& path);
    // Bytes already in memory, as if read from a file of that name.
    MIDIFile(std::string filename, std::span<const MIDIByte> data);

    static const MIDIFileChunk& chunk(const Chunk& chunk);

    std::optional<MIDIFileHeaderChunk> headerChunk() const;
    // These read the header chunk: 0 or none without one.
    int format() const;
    int trackCount() const;
    std::uint16_t timeDivision() const;
    std::optional<MIDITimeFormat> timeFormat() const;
    std::optional<int> ticksPerBeat() const;
    // The 7-bit SMPTE field as stored (0xE7 gives 103, not 25).
    std::optional<int> framesPerSecond() const;
    std::optional<int> ticksPerFrame() const;

    // The track chunks after the leading valid header chunks; empty when another header follows them.
    std::vector<MIDIFileTrackChunk> trackChunks() const;
    // One per track chunk; a format-1 file leaves out its first (tempo) track.
    std::vector<MIDIFileTrack> tracks() const;
    // The first track chunk of a format-1 file, when it sets a tempo.
    std::optional<MIDIFileTempoTrack> tempoTrack() const;

    bool operator==(const MIDIFile&) const = default;
};

} // namespace sonabel
