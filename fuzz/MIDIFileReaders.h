#pragma once
// The framework's MIDI file reader and the sequence loader's reader side by side on one input.
// They read damage differently (the first keeps what came before it, the second drops the track),
// but where the sequence loader read every track whole, both must have seen the same messages.
#include "fuzz/FuzzSupport.h"
#include "platform/sequence/StandardMIDIFile.h"
#include "sonabel/midi/midifile/MIDIFile.h"

#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace fuzzsupport {

// What a track holds that both readers keep: note ons (channel, key, velocity), other channel
// messages (status, data bytes) and SysEx or escape events (counted).
struct TrackMessages {
    std::vector<std::uint32_t> notes;
    std::vector<std::uint32_t> messages;
    std::size_t rawEvents = 0;
    // Any channel message or SysEx, note offs included.
    bool hasMessages = false;

    bool sameMessages(const TrackMessages& other) const {
        return notes == other.notes && messages == other.messages && rawEvents == other.rawEvents;
    }
};

// Up to the track's End of Track, which ends the sequence loader's reading.
inline TrackMessages frameworkMessages(const sonabel::MIDIFileTrackChunk& chunk) {
    TrackMessages out;
    bool ended = false;
    chunk.forEachTrackEvent([&](const sonabel::MIDIFileTrackChunk::EventView& event) {
        const auto own = event.eventData();
        if (ended || own.empty()) return;
        const std::uint8_t status = event.runningStatus.value_or(own[0]);
        const auto data = own.subspan(event.runningStatus ? 0 : 1);
        if (status == 0xFF) {
            ended = data.size() >= 1 && data[0] == 0x2F;
            return;
        }
        out.hasMessages = true;
        if (status == 0xF0 || status == 0xF7) {
            ++out.rawEvents;
        } else {
            const std::uint32_t d1 = data.size() > 0 ? data[0] & 0x7F : 0,
                                d2 = data.size() > 1 ? data[1] & 0x7F : 0;
            const int kind = status & 0xF0;
            if (kind == 0x90 && d2 > 0)
                out.notes.push_back(std::uint32_t(status & 0x0F) << 16 | d1 << 8 | d2);
            else if (kind != 0x80 && kind != 0x90)
                out.messages.push_back(std::uint32_t(status) << 16 | d1 << 8 | d2);
        }
    });
    return out;
}

inline TrackMessages sequenceMessages(const platform::sequence::TrackEvents& track) {
    TrackMessages out;
    for (const auto& event : track.events) {
        if (event.type == kMusicEventType_MIDINoteMessage) {
            MIDINoteMessage note;
            std::memcpy(&note, event.data.data(), sizeof note);
            out.notes.push_back(std::uint32_t(note.channel) << 16 | std::uint32_t(note.note) << 8 |
                                note.velocity);
        } else if (event.type == kMusicEventType_MIDIChannelMessage) {
            MIDIChannelMessage message;
            std::memcpy(&message, event.data.data(), sizeof message);
            out.messages.push_back(std::uint32_t(message.status) << 16 | std::uint32_t(message.data1) << 8 |
                                   message.data2);
        } else if (event.type == kMusicEventType_MIDIRawData) {
            ++out.rawEvents;
        }
    }
    return out;
}

inline void readWithBothReaders(std::span<const std::uint8_t> bytes) {
    const sonabel::MIDIFile file("fuzz.mid", bytes);
    const auto content = platform::sequence::readStandardMIDIFile(bytes);
    if (!content) return;
    // The loader takes only a file that starts with a whole header: so does the framework.
    check(!file.chunks.empty() && sonabel::MIDIFile::chunk(file.chunks.front()).isHeader());
    const auto header = *file.headerChunk();
    if (!(header.timeDivision() & 0x8000)) check(content->timeResolution == header.timeDivision());

    // Compared where both walked the same chunks: a header and exactly the declared tracks, every
    // byte in them, each read whole by the loader.
    const auto chunks = file.trackChunks();
    std::size_t used = 0;
    for (const auto& chunk : file.chunks)
        used += sonabel::MIDIFile::chunk(chunk).rawData.size();
    if (!content->complete || used != bytes.size() || file.chunks.size() != chunks.size() + 1 ||
        chunks.size() != static_cast<std::size_t>(header.trackCount()))
        return;
    std::size_t next = 0;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        const auto framework = frameworkMessages(chunks[i]);
        // A format 1 file's first track without messages is the loader's tempo track.
        if (i == 0 && header.format() == 1 && !framework.hasMessages) continue;
        check(next < content->tracks.size());
        check(framework.sameMessages(sequenceMessages(content->tracks[next++])));
    }
    check(next == content->tracks.size());
}

} // namespace fuzzsupport
