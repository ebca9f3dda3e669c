#include "sonabel/midi/midifile/MIDIFileTempoTrack.h"

#include "sonabel/midi/MIDICustomMetaEventType.h"

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
    const std::span<const MIDIByte> bytes(tempoData);
    const auto microseconds = integerValue(bytes.last(std::min<std::size_t>(bytes.size(), 3)));
    // Zero microseconds would make an infinite tempo.
    if (!microseconds || *microseconds == 0) return 120.0f;
    const float perMinute = 60000000.0f / static_cast<float>(*microseconds);
    return static_cast<float>(std::trunc(static_cast<double>(perMinute) * 10000) * 0.0001);
}

} // namespace sonabel
