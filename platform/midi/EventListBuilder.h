#pragma once
// Builds an event list of universal MIDI packets in a buffer of its own.
#include "platform/midi/MIDITypes.h"

#include <cstdint>
#include <span>
#include <vector>

namespace platform::midi {

class EventListBuilder {
public:
    explicit EventListBuilder(MIDIProtocolID protocol = kMIDIProtocol_1_0);

    // Whole messages, each as long as its message type says. Same-time messages share a packet
    // while it has room for 64 words; a message never straddles two packets. A message cut
    // short at the end of the words is left out.
    void addMessages(MIDITimeStamp time, std::span<const std::uint32_t> words);
    void clear();
    // Room for this many more message words at one time stamp, so adding them grows nothing.
    void reserve(std::size_t messageWords);

    const MIDIEventList* list() const { return reinterpret_cast<const MIDIEventList*>(storage_.data()); }
    ByteCount size() const { return storage_.size() * 4; }
    std::uint32_t count() const { return count_; }

    // Words in the message that begins with this word (1 to 4, from its message type).
    static std::size_t messageWordCount(std::uint32_t firstWord);

private:
    MIDIProtocolID protocol_;
    std::vector<std::uint32_t> storage_;
    std::size_t lastPacket_ = 0; // word index of the last packet's header
    std::uint32_t count_ = 0;
};

} // namespace platform::midi
