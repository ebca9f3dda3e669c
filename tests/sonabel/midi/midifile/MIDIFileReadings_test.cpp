// Both readers of Standard MIDI Files (the framework's and the sequence loader's) over Debian's
// openttd-openmsx files and thousands of damaged copies of them, made deterministically. Each
// reader's whole result is folded into a digest and compared with the digests recorded in
// MIDIFileReadings.inc, so any change in what either reader makes of any input shows up here.
#include "platform/core/LogSink.h"
#include "platform/sequence/StandardMIDIFile.h"
#include "sonabel/midi/midifile/MIDIFile.h"
#include "sonabel/midi/midifile/MIDIFileTrackNoteMap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <regex>
#include <span>
#include <string>
#include <vector>

using namespace sonabel;

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Golden {
    const char* file;
    std::array<const char*, 9> digests; // the file itself, then one per kind of damage
};

constexpr Golden kGolden[] = {
#include "MIDIFileReadings.inc"
};

constexpr std::array<const char*, 9> kGroups = {"intact",       "flip",        "cut",
                                                "insert",       "chunkLength", "runningStatus",
                                                "longQuantity", "afterEnd",    "cutMessage"};

// FNV-1a, 64 bits.
class Digest {
public:
    Digest& add(std::span<const std::uint8_t> bytes) {
        add(std::uint64_t{bytes.size()});
        for (auto b : bytes)
            mix(b);
        return *this;
    }
    Digest& add(std::uint64_t value) {
        for (int i = 0; i < 8; ++i)
            mix(static_cast<std::uint8_t>(value >> (8 * i)));
        return *this;
    }
    Digest& add(double value) { return add(std::bit_cast<std::uint64_t>(value)); }
    Digest& add(const std::string& text) {
        return add(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    }
    template <class T> Digest& add(const std::optional<T>& value) {
        add(std::uint64_t{value.has_value()});
        if (value) add(*value);
        return *this;
    }
    std::uint64_t value() const { return hash_; }

private:
    void mix(std::uint8_t b) { hash_ = (hash_ ^ b) * 0x100000001B3ull; }
    std::uint64_t hash_ = 0xCBF29CE484222325ull;
};

// What the framework's reader gives for the bytes, log lines included. A track's name and length and
// the end of a note map follow from the meta events and notes, so they are not read again.
// `walk`: every event as the walk cut it, too (the public reading covers the intact files).
std::uint64_t frameworkReading(const Bytes& bytes, bool walk) {
    platform::ScopedLogCapture capture;
    Digest d;
    const MIDIFile file("damaged.mid", bytes);
    for (const auto& chunk : file.chunks)
        d.add(std::uint64_t(chunk.index())).add(MIDIFile::chunk(chunk).rawData);
    d.add(std::uint64_t(file.format()))
        .add(std::uint64_t(file.trackCount()))
        .add(std::uint64_t(file.timeDivision()));
    for (const auto& chunk : walk ? file.trackChunks() : std::vector<MIDIFileTrackChunk>{}) {
        for (const auto& event : chunk.parseTrackEvents()) {
            d.add(event.data)
                .add(std::optional<std::uint64_t>(event.runningStatus))
                .add(std::uint64_t(event.timeOffset));
            d.add(std::optional<std::uint64_t>(event.typeIndex()));
        }
    }
    const auto tracks = file.tracks();
    for (const auto& track : tracks) {
        for (const auto& event : track.events())
            d.add(event.data).add(event.positionInBeats);
        for (const auto& meta : track.metaEvents())
            d.add(meta.data)
                .add(std::uint64_t(meta.type))
                .add(std::uint64_t(meta.length))
                .add(meta.positionInBeats);
    }
    if (const auto tempo = file.tempoTrack()) d.add(tempo->tempoData).add(double(tempo->tempoBPM()));
    for (int i = 0; i < static_cast<int>(tracks.size()); ++i) {
        const MIDIFileTrackNoteMap map(file, i);
        for (const auto& note : map.noteDurations())
            d.add(note->noteStartTime).add(note->noteEndTime).add(std::uint64_t(note->noteNumber));
    }
    // Log lines without the source line they come from.
    static const std::regex sourceLine(":[0-9]+([:)])");
    for (const auto& line : capture.lines())
        d.add(std::regex_replace(line, sourceLine, ":$1"));
    return d.value();
}

void addTrack(Digest& d, const platform::sequence::TrackEvents& track) {
    for (const auto& event : track.events)
        d.add(event.time).add(std::uint64_t(event.type)).add(event.data);
    d.add(track.length);
}

// Everything the sequence loader's reader gives for the bytes.
std::uint64_t sequenceReading(const Bytes& bytes) {
    Digest d;
    const auto content = platform::sequence::readStandardMIDIFile(bytes);
    d.add(std::uint64_t(content.has_value()));
    if (!content) return d.value();
    d.add(std::uint64_t(content->timeResolution)).add(std::uint64_t(content->complete));
    addTrack(d, content->tempo);
    for (const auto& track : content->tracks)
        addTrack(d, track);
    return d.value();
}

class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::size_t below(std::size_t n) { return n ? static_cast<std::size_t>(next() % n) : 0; }

private:
    std::uint64_t state_;
};

// Where the chunks and events of an intact file lie.
struct Layout {
    struct Chunk {
        std::size_t at;                    // of the chunk's head
        std::size_t size;                  // of its body
        std::vector<std::size_t> events;   // starts (delta time), from the file's start
        std::vector<std::size_t> leads;    // of every event's first byte after its delta time
        std::vector<std::size_t> statuses; // of channel events that carry their status
        std::vector<std::size_t> ends;     // of the End of Track events' last byte + 1
        std::vector<std::size_t> lengths;  // of the length quantities of meta and SysEx events
    };
    std::vector<Chunk> chunks;
};

Layout layoutOf(const Bytes& bytes) {
    Layout layout;
    std::size_t at = 0;
    while (at + 8 <= bytes.size()) {
        const std::size_t size =
            (std::size_t{bytes[at + 4]} << 24) | (bytes[at + 5] << 16) | (bytes[at + 6] << 8) | bytes[at + 7];
        Layout::Chunk chunk{at, size, {}, {}, {}, {}, {}};
        if (const auto track = MIDIFileTrackChunk::make(std::span(bytes).subspan(at))) {
            const auto* body = track->rawData.data() + 8;
            track->forEachTrackEvent([&](const MIDIFileTrackChunk::EventView& event) {
                const std::size_t start = at + 8 + static_cast<std::size_t>(event.data.data() - body);
                chunk.events.push_back(start);
                const auto own = event.eventData();
                chunk.leads.push_back(start + event.deltaSize);
                if (!event.runningStatus && own[0] >= 0x80 && own[0] < 0xF0)
                    chunk.statuses.push_back(start + event.deltaSize);
                if (own.size() >= 2 && own[0] == 0xFF && own[1] == 0x2F)
                    chunk.ends.push_back(start + event.data.size());
                if (!event.runningStatus && own.size() >= 2 && (own[0] == 0xF0 || own[0] == 0xF7))
                    chunk.lengths.push_back(start + event.deltaSize + 1);
                if (!event.runningStatus && own.size() >= 3 && own[0] == 0xFF)
                    chunk.lengths.push_back(start + event.deltaSize + 2);
            });
        }
        layout.chunks.push_back(chunk);
        at += 8 + size;
    }
    return layout;
}

void setLength(Bytes& bytes, std::size_t head, std::uint32_t length) {
    for (int i = 0; i < 4; ++i)
        bytes[head + 4 + i] = static_cast<std::uint8_t>(length >> (24 - 8 * i));
}

std::uint32_t lengthAt(const Bytes& bytes, std::size_t head) {
    return (std::uint32_t{bytes[head + 4]} << 24) | (bytes[head + 5] << 16) | (bytes[head + 6] << 8) |
           bytes[head + 7];
}

// Inserts into a chunk's body and, when `fix`, keeps its length true.
void insertInChunk(Bytes& bytes, const Layout::Chunk& chunk, std::size_t at, const Bytes& extra, bool fix) {
    bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), extra.begin(), extra.end());
    if (fix) setLength(bytes, chunk.at, lengthAt(bytes, chunk.at) + static_cast<std::uint32_t>(extra.size()));
}

const Layout::Chunk* trackWith(const Layout& layout, Random& random,
                               std::vector<std::size_t> Layout::Chunk::*field) {
    std::vector<const Layout::Chunk*> candidates;
    for (const auto& chunk : layout.chunks)
        if (!(chunk.*field).empty()) candidates.push_back(&chunk);
    return candidates.empty() ? nullptr : candidates[random.below(candidates.size())];
}

std::size_t pick(Random& random, const std::vector<std::size_t>& places) {
    return places[random.below(places.size())];
}

// One damaged copy of the kind `group` (1...8).
Bytes damaged(const Bytes& intact, const Layout& layout, int group, Random& random) {
    Bytes bytes = intact;
    switch (group) {
    case 1: // byte flips
        for (std::size_t n = 1 + random.below(3); n > 0; --n)
            bytes[random.below(bytes.size())] ^= static_cast<std::uint8_t>(1 + random.below(255));
        break;
    case 2: // cut short
        bytes.resize(random.below(bytes.size()));
        break;
    case 3: { // inserted bytes
        Bytes extra(1 + random.below(4));
        for (auto& b : extra)
            b = static_cast<std::uint8_t>(random.next());
        const auto at = random.below(bytes.size() + 1);
        bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), extra.begin(), extra.end());
        break;
    }
    case 4: { // a chunk's length wrong
        const auto& chunk = layout.chunks[random.below(layout.chunks.size())];
        const std::uint32_t length = lengthAt(bytes, chunk.at);
        const std::uint32_t choices[] = {length + 1,
                                         length - 1,
                                         length + 1 + std::uint32_t(random.below(64)),
                                         std::uint32_t(random.below(length + 1)),
                                         0,
                                         0xFFFFFFFFu,
                                         std::uint32_t(random.next())};
        setLength(bytes, chunk.at, choices[random.below(std::size(choices))]);
        break;
    }
    case 5: { // running status broken: a status byte dropped, or turned into data
        const auto* chunk = trackWith(layout, random, &Layout::Chunk::statuses);
        if (!chunk) break;
        const auto at = pick(random, chunk->statuses);
        if (random.below(2)) {
            bytes[at] &= 0x7F;
        } else {
            bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(at));
            if (random.below(4)) setLength(bytes, chunk->at, lengthAt(bytes, chunk->at) - 1);
        }
        break;
    }
    case 6: { // a delta time or a length written in five bytes or more
        const bool length = random.below(3) == 0;
        const auto* chunk =
            trackWith(layout, random, length ? &Layout::Chunk::lengths : &Layout::Chunk::events);
        if (!chunk) break;
        const auto at = pick(random, length ? chunk->lengths : chunk->events);
        // Leading zero groups keep the value; the quantity now has more bytes than four.
        insertInChunk(bytes, *chunk, at, Bytes(4 + random.below(3), 0x80), random.below(4) != 0);
        break;
    }
    case 7: { // data after End of Track
        const auto* chunk = trackWith(layout, random, &Layout::Chunk::ends);
        if (!chunk) break;
        const auto at = pick(random, chunk->ends);
        Bytes extra;
        if (random.below(2)) {
            // Events of the track itself, copied whole.
            const auto from = pick(random, chunk->events);
            const auto to = std::min(from + 1 + random.below(24), at);
            if (from < to)
                extra.assign(intact.begin() + static_cast<std::ptrdiff_t>(from),
                             intact.begin() + static_cast<std::ptrdiff_t>(to));
        } else {
            extra.resize(1 + random.below(12));
            for (auto& b : extra)
                b = static_cast<std::uint8_t>(random.next());
        }
        insertInChunk(bytes, *chunk, at, extra, random.below(8) != 0);
        break;
    }
    case 8: { // an event cut at the chunk's end, mostly a channel message: the rest of the body dropped
        const int choice = static_cast<int>(random.below(6));
        const bool channel = choice >= 2;
        const auto* chunk =
            trackWith(layout, random, channel ? &Layout::Chunk::statuses : &Layout::Chunk::leads);
        if (!chunk) break;
        const auto end = chunk->at + 8 + chunk->size;
        // After the status or its first data byte; any other event after one to three of its bytes.
        const auto lead = pick(random, channel ? chunk->statuses : chunk->leads);
        auto cut = std::min(end, lead + 1 + random.below(channel ? 2 : 3));
        if (choice == 0) {
            // The start of a meta, SysEx or escape event with at most two of its bytes.
            const std::uint8_t leads[] = {0xFF, 0xF0, 0xF7};
            bytes[lead] = leads[random.below(3)];
            for (auto at = lead + 1; at < cut; ++at)
                bytes[at] = static_cast<std::uint8_t>(random.below(4));
        }
        bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(cut),
                    bytes.begin() + static_cast<std::ptrdiff_t>(end));
        setLength(bytes, chunk->at, static_cast<std::uint32_t>(cut - chunk->at - 8));
        break;
    }
    default:
        break;
    }
    return bytes;
}

// The file made small enough to read thousands of times: the header, the first track and up to
// two others, each cut after a few of its events and ended again. The bytes stay the file's own.
Bytes miniature(const Bytes& intact, const Layout& layout, Random& random) {
    std::vector<const Layout::Chunk*> tracks;
    for (const auto& chunk : layout.chunks)
        if (!chunk.events.empty()) tracks.push_back(&chunk);
    std::vector<const Layout::Chunk*> kept;
    if (!tracks.empty()) kept.push_back(tracks.front());
    for (int n = 0; n < 2 && tracks.size() > 1; ++n)
        kept.push_back(tracks[1 + random.below(tracks.size() - 1)]);
    std::sort(kept.begin(), kept.end());
    kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
    const auto at = [&](std::size_t offset) { return intact.begin() + static_cast<std::ptrdiff_t>(offset); };
    const auto& header = layout.chunks.front();
    Bytes bytes(at(header.at), at(header.at + 8 + header.size));
    if (bytes.size() >= 12) {
        bytes[10] = static_cast<std::uint8_t>(kept.size() >> 8);
        bytes[11] = static_cast<std::uint8_t>(kept.size());
    }
    for (const auto* chunk : kept) {
        const std::size_t count = 6 + random.below(25);
        if (count >= chunk->events.size()) {
            bytes.insert(bytes.end(), at(chunk->at), at(chunk->at + 8 + chunk->size));
            continue;
        }
        const std::size_t head = bytes.size();
        bytes.insert(bytes.end(), at(chunk->at), at(chunk->events[count]));
        bytes.insert(bytes.end(), {0x00, 0xFF, 0x2F, 0x00});
        setLength(bytes, head, static_cast<std::uint32_t>(bytes.size() - head - 8));
    }
    return bytes;
}

constexpr int kCopiesPerGroup = 10;

std::string hex(std::uint64_t v) {
    static const char* digits = "0123456789abcdef";
    std::string text(16, '0');
    for (int i = 15; i >= 0; --i, v >>= 4)
        text[static_cast<std::size_t>(i)] = digits[v & 0xF];
    return text;
}

std::filesystem::path openMSXDirectory() {
    if (const char* given = std::getenv("SONABEL_OPENMSX_DIR")) return given;
    return "/usr/share/games/openttd/baseset/openmsx";
}

Bytes readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

} // namespace

TEST(MIDIFileReadings, BothReadersGiveTheRecordedResultsForRealAndDamagedFiles) {
    const auto dir = openMSXDirectory();
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (std::filesystem::directory_iterator it(dir, error), end; !error && it != end; it.increment(error))
        if (it->path().extension() == ".mid") files.push_back(it->path());
    std::sort(files.begin(), files.end());
    ASSERT_FALSE(files.empty())
        << "the openttd-openmsx MIDI files are missing from " << dir
        << ": install openttd-openmsx (scripts/install-deps does) or set SONABEL_OPENMSX_DIR";
    std::string actual;
    for (const auto& path : files) {
        const auto name = path.filename().string();
        const auto* golden = std::find_if(std::begin(kGolden), std::end(kGolden),
                                          [&](const Golden& g) { return name == g.file; });
        const Bytes intact = readFile(path);
        const Layout layout = layoutOf(intact);
        std::string line = "{\"" + name + "\", {";
        for (std::size_t group = 0; group < kGroups.size(); ++group) {
            Digest both;
            Random random(Digest().add(name).add(std::uint64_t{group}).value());
            for (int copy = 0; copy < (group == 0 ? 1 : kCopiesPerGroup); ++copy) {
                Bytes bytes = intact;
                if (group > 0) {
                    const Bytes small = miniature(intact, layout, random);
                    bytes = damaged(small, layoutOf(small), static_cast<int>(group), random);
                }
                both.add(frameworkReading(bytes, group > 0)).add(sequenceReading(bytes));
            }
            const auto digest = hex(both.value());
            EXPECT_TRUE(golden != std::end(kGolden) && digest == golden->digests[group])
                << name << ", " << kGroups[group] << ": " << digest;
            line += std::string(group ? ", " : "") + "\"" + digest + "\"";
        }
        actual += line + "}},\n";
    }
    EXPECT_EQ(files.size(), std::size(kGolden));
    if (HasFailure()) std::cout << "The readings now:\n" << actual;
}
