#pragma once
// Helpers shared by the MIDI value tests: hand-built packet lists and the content of log lines.
#include "platform/core/LogSink.h"
#include "platform/midi/MIDITypes.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace miditest {

using Bytes = std::vector<std::uint8_t>;

struct Packet {
    MIDITimeStamp timeStamp;
    Bytes data;
    // The length field; the data's size unless a test lies about it.
    int length = -1;
};

// A packet list laid out as delivered: count, then each packet right after the previous one's data.
inline Bytes packetListBytes(const std::vector<Packet>& packets, std::uint32_t numPackets = UINT32_MAX) {
    Bytes bytes(4);
    const std::uint32_t count =
        numPackets == UINT32_MAX ? static_cast<std::uint32_t>(packets.size()) : numPackets;
    std::memcpy(bytes.data(), &count, 4);
    for (const auto& packet : packets) {
        const std::size_t at = bytes.size();
        bytes.resize(at + 10);
        std::memcpy(bytes.data() + at, &packet.timeStamp, 8);
        const auto length =
            static_cast<std::uint16_t>(packet.length < 0 ? packet.data.size() : packet.length);
        std::memcpy(bytes.data() + at + 8, &length, 2);
        bytes.insert(bytes.end(), packet.data.begin(), packet.data.end());
    }
    return bytes;
}

struct EventPacket {
    MIDITimeStamp timeStamp;
    std::vector<std::uint32_t> words;
    // The word count field; the words' count unless a test lies about it.
    std::int64_t wordCount = -1;
};

// An event list laid out as delivered: protocol, count, then each packet right after the previous
// one's words.
inline Bytes eventListBytes(const std::vector<EventPacket>& packets,
                            std::int32_t protocol = kMIDIProtocol_1_0,
                            std::uint32_t numPackets = UINT32_MAX) {
    Bytes bytes(8);
    const std::uint32_t count =
        numPackets == UINT32_MAX ? static_cast<std::uint32_t>(packets.size()) : numPackets;
    std::memcpy(bytes.data(), &protocol, 4);
    std::memcpy(bytes.data() + 4, &count, 4);
    for (const auto& packet : packets) {
        const std::size_t at = bytes.size();
        bytes.resize(at + 12 + packet.words.size() * 4);
        std::memcpy(bytes.data() + at, &packet.timeStamp, 8);
        const auto wordCount =
            static_cast<std::uint32_t>(packet.wordCount < 0 ? packet.words.size() : packet.wordCount);
        std::memcpy(bytes.data() + at + 8, &wordCount, 4);
        if (!packet.words.empty())
            std::memcpy(bytes.data() + at + 12, packet.words.data(), packet.words.size() * 4);
    }
    return bytes;
}

// Bytes copied into storage aligned for the platform's records.
class AlignedBuffer {
public:
    explicit AlignedBuffer(const Bytes& bytes) : words_((bytes.size() + 7) / 8 + 1) {
        std::memcpy(words_.data(), bytes.data(), bytes.size());
        size_ = bytes.size();
    }
    template <class T> const T* as() const { return reinterpret_cast<const T*>(words_.data()); }
    std::size_t size() const { return size_; }

private:
    std::vector<std::uint64_t> words_;
    std::size_t size_ = 0;
};

inline MIDIPacket makePacket(MIDITimeStamp timeStamp, const Bytes& data) {
    MIDIPacket packet{};
    packet.timeStamp = timeStamp;
    packet.length = static_cast<std::uint16_t>(data.size());
    if (!data.empty()) std::memcpy(packet.data, data.data(), std::min(data.size(), sizeof(packet.data)));
    return packet;
}

// The content of each captured line written by `function`: "file:function:line:content (where)".
inline std::vector<std::string> logContents(const platform::ScopedLogCapture& capture,
                                            const std::string& function) {
    std::vector<std::string> contents;
    for (const auto& line : capture.lines()) {
        const auto at = line.find(":" + function + ":");
        if (at == std::string::npos) continue;
        auto rest = line.substr(at + function.size() + 2);
        rest = rest.substr(rest.find(':') + 1);
        const auto open = rest.rfind(" (");
        contents.push_back(rest.substr(0, open));
    }
    return contents;
}

} // namespace miditest
