#include "sonabel/midi/midifile/MIDIFileTempoTrack.h"

#include "sonabel/midi/MIDICustomMetaEventType.h"
#include "sonabel/midi/MIDIVariableLengthQuantity.h"

#include <algorithm>
#include <cmath>
#include <span>

namespace sonabel {

std::optional<MIDIFileTempoTrack> MIDIFileTempoTrack::make(const MIDIFileTrackChunk& trackChunk) {
    MIDIFileTrack track{trackChunk};
    for (auto& meta : track.metaEvents())
        if (meta.type == MIDICustomMetaEventType::setTempo)
            return MIDIFileTempoTrack{std::move(track), std::move(meta.data)};
    return std::nullopt;
}

float MIDIFileTempoTrack::tempoBPM() const {
    // The payload follows FF 51 and its length quantity; a payload cut short reads no tempo.
    std::span<const MIDIByte> payload(tempoData);
    payload = payload.size() > 2
                  ? payload.subspan(2 + static_cast<std::size_t>(
                                            MIDIVariableLengthQuantity::read(payload.subspan(2)).first))
                  : std::span<const MIDIByte>{};
    if (payload.size() < 3) return 120.0f;
    const auto microseconds = integerValue(payload.last(3));
    // Zero microseconds would make an infinite tempo.
    if (!microseconds || *microseconds == 0) return 120.0f;
    const float perMinute = 60000000.0f / static_cast<float>(*microseconds);
    return static_cast<float>(std::trunc(static_cast<double>(perMinute) * 10000) * 0.0001);
}

} // namespace sonabel
