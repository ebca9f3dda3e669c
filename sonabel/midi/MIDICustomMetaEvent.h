#pragma once
// One meta event of a Standard MIDI File: FF, the type byte, a variable-length length, and that
// many payload bytes.
#include "sonabel/midi/MIDIByte.h"
#include "sonabel/midi/MIDICustomMetaEventType.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sonabel {

struct MIDICustomMetaEvent {
    std::optional<double> positionInBeats;
    // FF, the type byte, the length quantity's bytes and `length` payload bytes (fewer when the
    // input ended sooner).
    std::vector<MIDIByte> data;
    MIDICustomMetaEventType type = MIDICustomMetaEventType::sequenceNumber;
    // The value of the length field.
    std::int64_t length = 0;

    // None unless there are at least 3 bytes, the first is FF and the second a known type. The
    // input may run on past the event; `positionInBeats` stays absent.
    static std::optional<MIDICustomMetaEvent> make(std::span<const MIDIByte> data);

    // The payload as UTF-8 text; none when it is not valid UTF-8.
    std::optional<std::string> text() const;
    // "Track Name 4 bytes long - Bass"; types without text end in a blank: "End of Track 0 bytes long ".
    std::string description() const;

    bool operator==(const MIDICustomMetaEvent&) const = default;
};

} // namespace sonabel
