#pragma once
// Walks the packets of a MIDIEventList as delivered: each packet starts right after the previous
// one's words. The list comes from outside, so the walk is bounded by the byte size of the buffer
// that holds it: `numPackets` and each `wordCount` are only believed as far as they fit. A packet
// whose words run past the end keeps its whole words before the end, and the walk stops there.
#include "platform/midi/MIDITypes.h"
#include "sonabel/midi/MIDIByte.h"
#include "sonabel/midi/MIDIEventPacketView.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace sonabel {

class MIDIEventListIterator {
public:
    // The list's memory must stay valid while the iterator and the views it returns are used.
    MIDIEventListIterator(const MIDIEventList* eventList, std::size_t byteSize);
    explicit MIDIEventListIterator(std::span<const MIDIByte> listBytes);

    // The list's protocol; none when the buffer is too short to say.
    std::optional<MIDIProtocolID> protocol() const { return protocol_; }
    // The next packet, none after the last.
    std::optional<MIDIEventPacketView> next();

private:
    std::span<const MIDIByte> bytes_;
    std::optional<MIDIProtocolID> protocol_;
    std::size_t offset_ = 0;
    std::uint32_t remaining_ = 0;
};

inline MIDIEventListIterator makeIterator(const MIDIEventList* eventList, std::size_t byteSize) {
    return MIDIEventListIterator(eventList, byteSize);
}

} // namespace sonabel
