#pragma once
// A System Exclusive event of a Standard MIDI File: F0, a variable-length length, and that many
// bytes.
#include "sonabel/midi/MIDIByte.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sonabel {

struct MIDISysExMessage {
    // F0, the length quantity's bytes and `length` bytes (fewer when the input ended sooner).
    std::vector<MIDIByte> data;
    // The value of the length field.
    std::int64_t length = 0;

    // None unless there are at least 3 bytes and the first is F0. The input may run on past the
    // message.
    static std::optional<MIDISysExMessage> make(std::span<const MIDIByte> bytes);

    // "MIDI SysEx message 5 bytes long"
    std::string description() const;

    bool operator==(const MIDISysExMessage&) const = default;
};

} // namespace sonabel
