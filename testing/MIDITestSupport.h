#pragma once
// Helpers shared by the MIDI server tests: copying lists out of blocks and reading UMP back.
#include "platform/midi/EventListReader.h"
#include "platform/midi/PacketListReader.h"

#include <cstdint>
#include <vector>

namespace miditest {

struct Packet {
    MIDITimeStamp timeStamp = 0;
    std::vector<std::uint8_t> data;
};

inline std::vector<Packet> packetsOf(const MIDIPacketList* list, ByteCount size) {
    std::vector<Packet> out;
    platform::midi::PacketListReader reader(list, size);
    platform::midi::PacketListReader::Packet p;
    while (reader.next(p))
        out.push_back({p.timeStamp, {p.data.begin(), p.data.end()}});
    return out;
}

inline std::vector<std::uint32_t> wordsOf(const MIDIEventList* list, ByteCount size) {
    std::vector<std::uint32_t> out;
    platform::midi::EventListReader reader(list, size);
    platform::midi::EventListReader::Packet p;
    while (reader.next(p))
        out.insert(out.end(), p.words.begin(), p.words.end());
    return out;
}

inline std::vector<std::uint8_t> concat(const std::vector<Packet>& packets) {
    std::vector<std::uint8_t> out;
    for (const auto& p : packets)
        out.insert(out.end(), p.data.begin(), p.data.end());
    return out;
}

// Puts SysEx7 pieces back together as F0 ... F7 messages; other words are left out. Checks the
// piece order strictly: a piece out of order makes the result empty.
inline std::vector<std::vector<std::uint8_t>> sysExMessages(const std::vector<std::uint32_t>& words) {
    std::vector<std::vector<std::uint8_t>> messages;
    std::vector<std::uint8_t> current;
    bool open = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if ((words[i] >> 28) != 3) continue;
        if (i + 1 >= words.size()) return {};
        const std::uint32_t w0 = words[i], w1 = words[++i];
        const unsigned status = (w0 >> 20) & 0xF, n = (w0 >> 16) & 0xF;
        const std::uint8_t bytes[6] = {std::uint8_t(w0 >> 8),  std::uint8_t(w0),      std::uint8_t(w1 >> 24),
                                       std::uint8_t(w1 >> 16), std::uint8_t(w1 >> 8), std::uint8_t(w1)};
        if (n > 6) return {};
        if ((status == 0 || status == 1) == open) return {};
        if (status == 0 || status == 1) current = {0xF0};
        current.insert(current.end(), bytes, bytes + n);
        open = status == 1 || status == 2;
        if (!open) {
            current.push_back(0xF7);
            messages.push_back(current);
        }
    }
    return open ? std::vector<std::vector<std::uint8_t>>{} : messages;
}

// A SysEx of the given total length (F0 and F7 included) whose data runs through every value
// 0x00..0xF6 and 0xF8..0xFF, so 8-bit values sit inside it.
inline std::vector<std::uint8_t> eightBitSysEx(std::size_t length) {
    std::vector<std::uint8_t> m{0xF0};
    for (std::size_t i = 1; i + 1 < length; ++i) {
        auto b = static_cast<std::uint8_t>(i * 7);
        if (b == 0xF7) b = 0x96;
        m.push_back(b);
    }
    m.push_back(0xF7);
    return m;
}

} // namespace miditest
