#pragma once
// A platform meta-event record in a buffer of its own: type, three reserved bytes, the data
// length and the data, allocated as the declared record size plus the data.
#include "platform/sequence/MusicSequenceTypes.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace sonabel {

class MIDIMetaEventBuffer {
public:
    const MIDIMetaEvent* get() const { return reinterpret_cast<const MIDIMetaEvent*>(storage_.data()); }
    std::size_t size() const { return storage_.size() * sizeof(std::uint32_t); }

private:
    friend std::optional<MIDIMetaEventBuffer> makeMIDIMetaEvent(std::uint8_t type,
                                                                std::span<const std::uint8_t> data);
    std::vector<std::uint32_t> storage_; // word-aligned for the length field
};

// None when the data does not fit the record's 32-bit length.
std::optional<MIDIMetaEventBuffer> makeMIDIMetaEvent(std::uint8_t type, std::span<const std::uint8_t> data);

} // namespace sonabel
