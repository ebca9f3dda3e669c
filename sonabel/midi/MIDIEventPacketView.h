#pragma once
// One packet of universal MIDI packet words as the receive path reads it: its time stamp and its
// words, which stay where they are. The words are read through memcpy, so a view may stand on any
// byte address. The words must outlive the view.
#include "platform/midi/MIDITypes.h"
#include "sonabel/midi/MIDIByte.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

namespace sonabel {

struct MIDIEventPacketView {
    MIDITimeStamp timeStamp = 0;
    // Four bytes per word, in the host's byte order, as the platform's records hold them.
    std::span<const MIDIByte> wordBytes;

    MIDIEventPacketView() = default;
    MIDIEventPacketView(MIDITimeStamp timeStamp, std::span<const MIDIByte> wordBytes)
        : timeStamp(timeStamp), wordBytes(wordBytes.first(wordBytes.size() / 4 * 4)) {}
    MIDIEventPacketView(MIDITimeStamp timeStamp, std::span<const std::uint32_t> words)
        : timeStamp(timeStamp), wordBytes(reinterpret_cast<const MIDIByte*>(words.data()), words.size() * 4) {
    }
    // A packet on its own holds at most its 64 words, whatever its word count says.
    MIDIEventPacketView(const MIDIEventPacket& packet)
        : timeStamp(packet.timeStamp),
          wordBytes(reinterpret_cast<const MIDIByte*>(packet.words),
                    std::min<std::size_t>(packet.wordCount, std::size(packet.words)) * 4) {}

    std::size_t wordCount() const { return wordBytes.size() / 4; }
    std::uint32_t word(std::size_t index) const {
        std::uint32_t value = 0;
        std::memcpy(&value, wordBytes.data() + index * 4, sizeof(value));
        return value;
    }
};

} // namespace sonabel
