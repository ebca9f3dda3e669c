#pragma once
// Walks an event list of universal MIDI packets within its byte size; the twin of
// PacketListReader. Packets follow each other with no gap: header, then wordCount words.
#include "platform/midi/MIDITypes.h"

#include <cstdint>
#include <span>
#include <vector>

namespace platform::midi {

class EventListReader {
public:
    struct Packet {
        MIDITimeStamp timeStamp = 0;
        // Copied out: words inside a caller's buffer need not be aligned.
        std::vector<std::uint32_t> words;
    };

    EventListReader(const MIDIEventList* list, ByteCount listSize);

    bool next(Packet& packet);
    bool malformed() const { return malformed_; }
    MIDIProtocolID protocol() const { return protocol_; }
    std::uint32_t declaredCount() const { return count_; }

    static bool isWellFormed(const MIDIEventList* list, ByteCount listSize);

private:
    const std::uint8_t* bytes_;
    ByteCount size_;
    ByteCount offset_ = kMIDIEventListHeaderSize;
    MIDIProtocolID protocol_ = kMIDIProtocol_1_0;
    std::uint32_t count_ = 0;
    std::uint32_t read_ = 0;
    bool malformed_ = false;
};

} // namespace platform::midi
