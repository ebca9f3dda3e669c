#include "sonabel/midi/midifile/MIDIFileTrackChunk.h"

#include "sonabel/internals/error_handling/Log.h"
#include "sonabel/midi/MIDIVariableLengthQuantity.h"

#include <algorithm>
#include <limits>
#include <string>

namespace sonabel {

namespace {
// Bytes of a channel message by status nibble 8...E: with the status, and under running status.
constexpr std::size_t kWithStatus[7] = {3, 3, 3, 3, 2, 2, 3};

bool isChannelStatus(MIDIByte byte) {
    return byte >= 0x80 && byte < 0xF0;
}

std::size_t withStatus(MIDIByte status) {
    return kWithStatus[highNibble(status) - 8];
}

// Lead byte(s), a length quantity and that many bytes (fewer when the body ends sooner).
std::size_t sizedEventSize(std::span<const MIDIByte> rest, std::size_t lead) {
    const auto [count, length] = MIDIVariableLengthQuantity::read(rest.subspan(lead));
    const std::uint64_t wanted = lead + static_cast<std::uint64_t>(count) + length;
    return static_cast<std::size_t>(std::min<std::uint64_t>(wanted, rest.size()));
}
} // namespace

std::optional<MIDIFileTrackChunk> MIDIFileTrackChunk::make(std::span<const MIDIByte> data) {
    auto bytes = chunkBytes(data, MIDIFileChunkType::track);
    if (!bytes) return std::nullopt;
    return MIDIFileTrackChunk{{std::move(*bytes)}, MIDITimeFormat::ticksPerBeat, 480};
}

bool MIDIFileTrackChunk::nextTrackEvent(TrackWalk& walk, EventView& event) const {
    const std::span<const MIDIByte> bytes = body();
    if (walk.index >= bytes.size()) return false;
    const auto [deltaSize, delta] = MIDIVariableLengthQuantity::read(bytes.subspan(walk.index));
    const std::size_t eventStart = walk.index;
    std::size_t index = walk.index + static_cast<std::size_t>(deltaSize);
    if (index >= bytes.size()) return false;

    const MIDIByte kind = bytes[index];
    const std::span<const MIDIByte> rest = bytes.subspan(index);
    std::size_t size = 0;
    std::optional<MIDIByte> eventStatus;
    if (kind == 0xFF && rest.size() >= 3) {
        // Any meta type, known or not, is one whole meta event.
        size = sizedEventSize(rest, 2);
        walk.runningStatus.reset();
    } else if (kind == 0xF0 && rest.size() >= 3) {
        size = sizedEventSize(rest, 1);
        walk.runningStatus.reset();
    } else if (kind == 0xF7 && rest.size() >= 2) {
        // A SysEx continuation or escape, kept whole.
        size = sizedEventSize(rest, 1);
        walk.runningStatus.reset();
    } else if (isChannelStatus(kind)) {
        size = std::min(withStatus(kind), rest.size());
        walk.runningStatus = kind;
    } else if (walk.runningStatus) {
        size = std::min(withStatus(*walk.runningStatus) - 1, rest.size());
        eventStatus = walk.runningStatus;
    } else {
        Log({"parseTrackEvents"}, "error parsing midi file, byte is " + std::to_string(kind) +
                                      ", processed " + std::to_string(index) + " of " +
                                      std::to_string(bytes.size()));
        walk.index = bytes.size();
        return false;
    }
    index += size;
    walk.index = index;

    event = EventView{bytes.subspan(eventStart, index - eventStart), static_cast<std::size_t>(deltaSize),
                      delta, eventStatus, walk.ticks};
    // A body of billions of maximal delta times would overflow the total; it saturates instead.
    walk.ticks = walk.ticks > std::numeric_limits<std::int64_t>::max() - delta
                     ? std::numeric_limits<std::int64_t>::max()
                     : walk.ticks + delta;
    return true;
}

std::vector<MIDIFileChunkEvent> MIDIFileTrackChunk::parseTrackEvents() const {
    std::vector<MIDIFileChunkEvent> events;
    forEachTrackEvent([&](const EventView& event) {
        events.push_back(MIDIFileChunkEvent{{event.data.begin(), event.data.end()},
                                            timeFormat,
                                            timeDivision,
                                            event.runningStatus,
                                            event.timeOffset});
    });
    return events;
}

std::vector<MIDIByte> MIDIFileTrackChunk::EventView::computedData() const {
    const auto own = eventData();
    std::vector<MIDIByte> message;
    message.reserve(own.size() + 1);
    if (runningStatus) message.push_back(*runningStatus);
    message.insert(message.end(), own.begin(), own.end());
    return message;
}

} // namespace sonabel
