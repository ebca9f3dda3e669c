#pragma once
// One packet that reached an external destination of the in-process server, as sent.
#include "platform/midi/MIDITypes.h"

#include <cstdint>
#include <vector>

namespace platform::midi {

struct ExternalPacket {
    MIDITimeStamp timeStamp = 0;
    std::vector<std::uint8_t> data;
    bool operator==(const ExternalPacket&) const = default;
};

} // namespace platform::midi
