#include "platform/sequence/StandardMIDIFile.h"

#include "platform/core/LogSink.h"
#include "platform/sequence/StandardMIDIFileWalker.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <optional>
#include <string>

namespace platform::sequence {

namespace {

constexpr std::uint64_t kMaxTicks = 0x0FFFFFFF; // the largest four-byte quantity

std::uint32_t bigEndian(std::span<const std::uint8_t> b) {
    std::uint32_t v = 0;
    for (auto x : b)
        v = (v << 8) | x;
    return v;
}

bool belongsToTempoTrack(std::uint8_t metaType) {
    return metaType == 0x51 || metaType == 0x54 || metaType == 0x58 || metaType == 0x59;
}

StoredEvent metaEvent(MusicTimeStamp time, std::uint8_t type, std::span<const std::uint8_t> payload) {
    StoredEvent e{time, kMusicEventType_Meta, std::vector<std::uint8_t>(8 + payload.size(), 0)};
    e.data[0] = type;
    const auto length = static_cast<std::uint32_t>(payload.size());
    std::memcpy(e.data.data() + 4, &length, 4);
    std::copy(payload.begin(), payload.end(), e.data.begin() + 8);
    return e;
}

template <class T> StoredEvent recordEvent(MusicTimeStamp time, MusicEventType type, const T& record) {
    StoredEvent e{time, type, std::vector<std::uint8_t>(sizeof(T))};
    std::memcpy(e.data.data(), &record, sizeof(T));
    return e;
}

struct ParsedTrack {
    TrackEvents events;
    std::vector<StoredEvent> tempoEvents;
    bool hasChannelEvents = false;
};

// allMetaToTempo: every meta event goes to the tempo track (the first track of a format 1 file).
// keepTempo: set-tempo events become tempo events (not for SMPTE time, which has its own clock).
// Any event cut short or beyond the format's limits fails the track: the caller keeps none of it.
// So does a body that ends before its End of Track: the chunk's length cut the track short (a
// length of 0 leaves the whole track outside its chunk).
bool readTrack(std::span<const std::uint8_t> chunk, double division, bool allMetaToTempo, bool keepTempo,
               ParsedTrack& out) {
    using Kind = StandardMIDIFileWalker::EventKind;
    StandardMIDIFileWalker walker(chunk);
    std::uint64_t tick = 0;
    struct Open {
        std::size_t index;
        std::uint64_t start;
    };
    std::map<std::pair<int, int>, std::deque<Open>> open;
    std::vector<std::pair<StoredEvent, std::uint64_t>> events; // with start ticks
    auto time = [&](std::uint64_t t) { return static_cast<double>(t) / division; };
    bool ended = false;
    while (walker.next()) {
        const auto& event = walker.event();
        if (!event.isWellFormed()) return false;
        tick = std::min(event.timeOffset + event.delta.value, std::uint64_t{1} << 40);
        const auto payload = event.data;
        if (event.kind == Kind::meta) {
            const std::uint8_t type = event.metaType;
            if (type == 0x2F) {
                ended = true;
                break;
            }
            if (type == 0x51) {
                if (!keepTempo || payload.size() != 3) continue;
                const std::uint32_t micros = bigEndian(payload);
                if (micros == 0) continue;
                out.tempoEvents.push_back(recordEvent(time(tick), kMusicEventType_ExtendedTempo,
                                                      ExtendedTempoEvent{60'000'000.0 / micros}));
            } else if (allMetaToTempo || belongsToTempoTrack(type)) {
                out.tempoEvents.push_back(metaEvent(time(tick), type, payload));
            } else {
                events.push_back({metaEvent(time(tick), type, payload), tick});
            }
        } else if (event.kind == Kind::sysEx || event.kind == Kind::escape) {
            StoredEvent e{time(tick), kMusicEventType_MIDIRawData, {}};
            std::vector<std::uint8_t> bytes;
            if (event.kind == Kind::sysEx) bytes.push_back(0xF0);
            bytes.insert(bytes.end(), payload.begin(), payload.end());
            e.data.resize(4 + bytes.size());
            const auto n = static_cast<std::uint32_t>(bytes.size());
            std::memcpy(e.data.data(), &n, 4);
            std::copy(bytes.begin(), bytes.end(), e.data.begin() + 4);
            events.push_back({std::move(e), tick});
            out.hasChannelEvents = true;
        } else {
            const std::uint8_t status = event.status;
            // A byte in a data place is data, as the framework reads it.
            std::uint8_t d[2] = {0, 0};
            for (std::size_t i = 0; i < payload.size(); ++i)
                d[i] = payload[i] & 0x7F;
            out.hasChannelEvents = true;
            const int kind = status & 0xF0, channel = status & 0x0F;
            const auto key = std::make_pair(channel, int(d[0]));
            if (kind == 0x90 && d[1] > 0) {
                open[key].push_back({events.size(), tick});
                events.push_back({recordEvent(time(tick), kMusicEventType_MIDINoteMessage,
                                              MIDINoteMessage{std::uint8_t(channel), d[0], d[1], 0, 0}),
                                  tick});
            } else if (kind == 0x80 || kind == 0x90) {
                auto found = open.find(key);
                if (found == open.end() || found->second.empty()) continue; // an off without an on
                const Open note = found->second.front();
                found->second.pop_front();
                MIDINoteMessage message;
                std::memcpy(&message, events[note.index].first.data.data(), sizeof message);
                message.duration = static_cast<float>(time(tick - note.start));
                message.releaseVelocity = kind == 0x80 ? d[1] : 0;
                std::memcpy(events[note.index].first.data.data(), &message, sizeof message);
            } else {
                events.push_back({recordEvent(time(tick), kMusicEventType_MIDIChannelMessage,
                                              MIDIChannelMessage{status, d[0], d[1], 0}),
                                  tick});
            }
        }
    }
    if (!ended) return false;
    for (auto& [key, notes] : open) {
        for (const auto& note : notes) {
            MIDINoteMessage message;
            std::memcpy(&message, events[note.index].first.data.data(), sizeof message);
            message.duration = static_cast<float>(time(tick - note.start));
            std::memcpy(events[note.index].first.data.data(), &message, sizeof message);
        }
    }
    for (auto& [event, start] : events)
        out.events.insert(std::move(event));
    out.events.length = std::max(out.events.length, time(tick));
    return true;
}

void putQuantity(std::vector<std::uint8_t>& out, std::uint32_t value) {
    value = std::min<std::uint32_t>(value, kMaxTicks);
    std::uint8_t groups[4];
    int n = 0;
    do {
        groups[n++] = value & 0x7F;
        value >>= 7;
    } while (value);
    while (n-- > 0)
        out.push_back(groups[n] | (n ? 0x80 : 0));
}

std::uint64_t ticksFor(MusicTimeStamp beats, std::uint16_t tpq) {
    const double ticks = std::round(beats * tpq);
    if (!(ticks > 0)) return 0;
    return ticks >= double(kMaxTicks) ? kMaxTicks : static_cast<std::uint64_t>(ticks);
}

struct OutEvent {
    std::uint64_t tick;
    int order;          // 0: offs of notes that started earlier; 1: the rest, in stored order
    std::size_t anchor; // within order 1, what it sorts with: its own place or a note on's
    int sub;            // 0 before the events of the same anchor
    std::vector<std::uint8_t> bytes;
};

class TrackWriter {
public:
    explicit TrackWriter(std::uint16_t tpq) : tpq_(tpq) {}

    void append(const StoredEvent& e);
    std::vector<OutEvent> take() { return std::move(out_); }
    std::size_t raisedVelocities() const { return raisedVelocities_; }

private:
    void add(std::uint64_t tick, int order, std::vector<std::uint8_t> bytes) {
        const std::size_t place = out_.size();
        out_.push_back({tick, order, place, 1, std::move(bytes)});
    }

    std::uint16_t tpq_;
    std::vector<OutEvent> out_;
    std::size_t raisedVelocities_ = 0;
    std::uint64_t groupTick_ = std::numeric_limits<std::uint64_t>::max();
    std::optional<std::size_t> firstOnInGroup_;
};

void TrackWriter::append(const StoredEvent& e) {
    const auto tick = ticksFor(e.time, tpq_);
    if (tick != groupTick_) {
        groupTick_ = tick;
        firstOnInGroup_.reset();
    }
    const auto& d = e.data;
    switch (e.type) {
    case kMusicEventType_MIDINoteMessage: {
        if (d.size() < sizeof(MIDINoteMessage)) return;
        MIDINoteMessage n;
        std::memcpy(&n, d.data(), sizeof n);
        const std::uint8_t ch = n.channel & 0x0F;
        const double duration = std::isfinite(n.duration) && n.duration > 0 ? n.duration : 0;
        // Velocity 0 would be read back as a note off: the note would vanish.
        std::uint8_t velocity = n.velocity & 0x7F;
        if (velocity == 0) {
            velocity = 1;
            ++raisedVelocities_;
        }
        const std::vector<std::uint8_t> on{std::uint8_t(0x90 | ch), std::uint8_t(n.note & 0x7F), velocity};
        const std::vector<std::uint8_t> off{std::uint8_t(0x80 | ch), std::uint8_t(n.note & 0x7F),
                                            std::uint8_t(n.releaseVelocity & 0x7F)};
        const auto offTick = ticksFor(e.time + duration, tpq_);
        if (offTick == tick) {
            // On and off at one tick: written together, on first, before the ons of other notes
            // there, so no off of that key can come between them.
            std::vector<std::uint8_t> bytes = on;
            bytes.push_back(0);
            bytes.insert(bytes.end(), off.begin(), off.end());
            const std::size_t place = out_.size();
            out_.push_back(
                {tick, 1, firstOnInGroup_.value_or(place), firstOnInGroup_ ? 0 : 1, std::move(bytes)});
            return;
        }
        if (!firstOnInGroup_) firstOnInGroup_ = out_.size();
        add(tick, 1, on);
        add(offTick, 0, off);
        return;
    }
    case kMusicEventType_MIDIChannelMessage: {
        if (d.size() < sizeof(MIDIChannelMessage) || d[0] < 0x80 || d[0] >= 0xF0) return;
        std::vector<std::uint8_t> bytes{d[0], std::uint8_t(d[1] & 0x7F)};
        if ((d[0] & 0xF0) != 0xC0 && (d[0] & 0xF0) != 0xD0) bytes.push_back(d[2] & 0x7F);
        add(tick, 1, std::move(bytes));
        return;
    }
    case kMusicEventType_MIDIRawData: {
        if (d.size() < 4) return;
        std::uint32_t length;
        std::memcpy(&length, d.data(), 4);
        length = std::min<std::uint32_t>(length, std::uint32_t(d.size() - 4));
        std::span<const std::uint8_t> payload(d.data() + 4, length);
        std::vector<std::uint8_t> bytes;
        if (!payload.empty() && payload[0] == 0xF0) {
            bytes.push_back(0xF0);
            payload = payload.subspan(1);
        } else {
            bytes.push_back(0xF7);
        }
        putQuantity(bytes, std::uint32_t(payload.size()));
        bytes.insert(bytes.end(), payload.begin(), payload.end());
        add(tick, 1, std::move(bytes));
        return;
    }
    case kMusicEventType_Meta: {
        if (d.size() < 8 || d[0] == 0x2F) return;
        std::uint32_t length;
        std::memcpy(&length, d.data() + 4, 4);
        length = std::min<std::uint32_t>(length, std::uint32_t(d.size() - 8));
        std::vector<std::uint8_t> bytes{0xFF, d[0]};
        putQuantity(bytes, length);
        bytes.insert(bytes.end(), d.begin() + 8, d.begin() + 8 + length);
        add(tick, 1, std::move(bytes));
        return;
    }
    case kMusicEventType_ExtendedTempo: {
        if (d.size() < sizeof(double)) return;
        double bpm;
        std::memcpy(&bpm, d.data(), sizeof bpm);
        if (!std::isfinite(bpm) || bpm <= 0) return;
        const double micros = std::clamp(std::round(60'000'000.0 / bpm), 1.0, double(0xFFFFFF));
        const auto m = static_cast<std::uint32_t>(micros);
        add(tick, 1, {0xFF, 0x51, 0x03, std::uint8_t(m >> 16), std::uint8_t(m >> 8), std::uint8_t(m)});
        return;
    }
    default:
        return;
    }
}

void putChunk(std::vector<std::uint8_t>& file, const char* id, const std::vector<std::uint8_t>& body) {
    file.insert(file.end(), id, id + 4);
    const auto n = static_cast<std::uint32_t>(body.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        file.push_back(std::uint8_t(n >> shift));
    file.insert(file.end(), body.begin(), body.end());
}

std::vector<std::uint8_t> trackChunk(const TrackEvents& track, std::uint16_t tpq,
                                     std::size_t& raisedVelocities) {
    TrackWriter writer(tpq);
    for (const auto& e : track.events)
        writer.append(e);
    raisedVelocities += writer.raisedVelocities();
    auto events = writer.take();
    std::stable_sort(events.begin(), events.end(), [](const OutEvent& a, const OutEvent& b) {
        if (a.tick != b.tick) return a.tick < b.tick;
        if (a.order != b.order) return a.order < b.order;
        if (a.anchor != b.anchor) return a.anchor < b.anchor;
        return a.sub < b.sub;
    });
    std::vector<std::uint8_t> body;
    std::uint64_t tick = 0;
    for (const auto& e : events) {
        putQuantity(body, std::uint32_t(e.tick - tick));
        tick = e.tick;
        body.insert(body.end(), e.bytes.begin(), e.bytes.end());
    }
    const auto end = std::max(tick, ticksFor(track.length, tpq));
    putQuantity(body, std::uint32_t(end - tick));
    body.insert(body.end(), {0xFF, 0x2F, 0x00});
    return body;
}

} // namespace

std::optional<SequenceContent> readStandardMIDIFile(std::span<const std::uint8_t> bytes) {
    const auto head = StandardMIDIFileWalker::chunk(bytes);
    if (!head || std::memcmp(head->type.data(), "MThd", 4) != 0 || head->length < 6 || !head->isWhole())
        return std::nullopt;
    const auto header = head->body;
    const std::uint32_t format = bigEndian(header.subspan(0, 2));
    const std::uint32_t declaredTracks = bigEndian(header.subspan(2, 2));
    const std::uint32_t division = bigEndian(header.subspan(4, 2));
    if (format > 2 || division == 0) return std::nullopt;

    SequenceContent content;
    double ticksPerBeat = division;
    const bool smpte = division & 0x8000;
    if (smpte) {
        // Frames per second (a negative byte) and ticks per frame: tick t is at t / (fps x ticks)
        // seconds, which become beats at 120 BPM, the one tempo such a sequence gets.
        const int code = -static_cast<int>(static_cast<std::int8_t>(division >> 8));
        const int ticksPerFrame = static_cast<int>(division & 0xFF);
        if ((code != 24 && code != 25 && code != 29 && code != 30) || ticksPerFrame == 0) return std::nullopt;
        const double fps = code == 29 ? 29.97 : code;
        ticksPerBeat = fps * ticksPerFrame / 2;
        content.timeResolution =
            static_cast<std::int16_t>(std::clamp(std::round(ticksPerBeat), 1.0, 32767.0));
        content.tempo.insert(recordEvent(0, kMusicEventType_ExtendedTempo, ExtendedTempoEvent{120}));
    } else {
        content.timeResolution = static_cast<std::int16_t>(division);
    }
    std::uint32_t trackIndex = 0;
    auto rest = bytes.subspan(head->size());
    while (trackIndex < declaredTracks) {
        const auto chunk = StandardMIDIFileWalker::chunk(rest);
        // Fewer tracks than declared is a file cut at a chunk boundary.
        if (!chunk || !chunk->isWhole()) {
            content.complete = false; // cut short: the tracks before it stay
            break;
        }
        rest = rest.subspan(chunk->size());
        if (std::memcmp(chunk->type.data(), "MTrk", 4) != 0) continue; // chunks of other kinds are skipped
        ParsedTrack parsed;
        const bool conductor = format == 1 && trackIndex == 0;
        if (!readTrack(chunk->body, ticksPerBeat, conductor, !smpte, parsed)) {
            content.complete = false;
            break;
        }
        for (auto& e : parsed.tempoEvents)
            content.tempo.insert(std::move(e));
        if (!conductor || parsed.hasChannelEvents)
            content.tracks.push_back(std::move(parsed.events));
        else
            content.tempo.length = std::max(content.tempo.length, parsed.events.length);
        ++trackIndex;
    }
    return content;
}

std::vector<std::uint8_t> writeStandardMIDIFile(const SequenceContent& content,
                                                std::uint16_t ticksPerQuarter) {
    std::vector<std::uint8_t> file;
    const auto trackCount =
        static_cast<std::uint16_t>(std::min<std::size_t>(content.tracks.size() + 1, 0xFFFF));
    putChunk(file, "MThd",
             {0, 1, std::uint8_t(trackCount >> 8), std::uint8_t(trackCount),
              std::uint8_t(ticksPerQuarter >> 8), std::uint8_t(ticksPerQuarter)});
    std::size_t raisedVelocities = 0;
    putChunk(file, "MTrk", trackChunk(content.tempo, ticksPerQuarter, raisedVelocities));
    for (std::size_t i = 0; i + 1 < trackCount; ++i)
        putChunk(file, "MTrk", trackChunk(content.tracks[i], ticksPerQuarter, raisedVelocities));
    if (raisedVelocities > 0)
        LogSink::emit({"io.sonabel.platform", "sequence", LogLevel::info,
                       "Note ons of velocity 0 written with velocity 1 so they are not read as note offs: " +
                           std::to_string(raisedVelocities)});
    return file;
}

} // namespace platform::sequence
