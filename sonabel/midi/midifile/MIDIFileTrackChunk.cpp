#include "sonabel/midi/midifile/MIDIFileTrackChunk.h"

#include "sonabel/internals/error_handling/Log.h"
#include "sonabel/midi/MIDICustomMetaEvent.h"
#include "sonabel/midi/MIDISysExMessage.h"
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

void MIDIFileTrackChunk::forEachTrackEvent(const std::function<void(const EventView&)>& visit) const {
    const std::span<const MIDIByte> bytes = body();
    std::size_t index = 0;
    std::optional<MIDIByte> runningStatus;
    std::int64_t ticks = 0;

    while (index < bytes.size()) {
        const auto [deltaSize, delta] = MIDIVariableLengthQuantity::read(bytes.subspan(index));
        const std::size_t eventStart = index;
        index += static_cast<std::size_t>(deltaSize);
        if (index >= bytes.size()) break;

        const MIDIByte kind = bytes[index];
        const std::span<const MIDIByte> rest = bytes.subspan(index);
        std::size_t size = 0;
        std::optional<MIDIByte> eventStatus;
        if (const auto meta = MIDICustomMetaEvent::make(rest)) {
            size = meta->data.size();
            runningStatus.reset();
        } else if (kind == 0xFF && rest.size() >= 3) {
            // A meta type this reader does not know is still one whole meta event.
            size = sizedEventSize(rest, 2);
            runningStatus.reset();
        } else if (const auto sysEx = MIDISysExMessage::make(rest)) {
            size = sysEx->data.size();
            runningStatus.reset();
        } else if (kind == 0xF7 && rest.size() >= 2) {
            // A SysEx continuation or escape, kept whole.
            size = sizedEventSize(rest, 1);
            runningStatus.reset();
        } else if (isChannelStatus(kind)) {
            size = std::min(withStatus(kind), rest.size());
            runningStatus = kind;
        } else if (runningStatus) {
            size = std::min(withStatus(*runningStatus) - 1, rest.size());
            eventStatus = runningStatus;
        } else {
            Log({"parseTrackEvents"}, "error parsing midi file, byte is " + std::to_string(kind) +
                                          ", processed " + std::to_string(index) + " of " +
                                          std::to_string(bytes.size()));
            break;
        }
        index += size;

        visit(EventView{bytes.subspan(eventStart, index - eventStart), static_cast<std::size_t>(deltaSize),
                        delta, eventStatus, ticks});
        // A body of billions of maximal delta times would overflow the total; it saturates instead.
        ticks = ticks > std::numeric_limits<std::int64_t>::max() - delta
                    ? std::numeric_limits<std::int64_t>::max()
                    : ticks + delta;
    }
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

std::optional<double> MIDIFileTrackChunk::EventView::positionInBeats(const MIDIFileTrackChunk& chunk) const {
    if (chunk.timeFormat != MIDITimeFormat::ticksPerBeat) return std::nullopt;
    return (static_cast<double>(timeOffset) + static_cast<double>(deltaTime)) / chunk.timeDivision;
}

} // namespace sonabel
