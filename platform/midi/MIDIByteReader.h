#pragma once
// The one reading of MIDI 1.0 bytes that every receive path shares: which bytes begin a message
// and how long it is, and how a packet is cut into messages outside a SysEx. There is no running
// status: a data byte where a status is expected, an undefined status, or a message cut short ends
// the packet.
#include <cstddef>
#include <cstdint>
#include <span>

namespace platform::midi {

class MIDIByteReader {
public:
    static constexpr std::uint8_t sysExStart = 0xF0;
    static constexpr std::uint8_t sysExEnd = 0xF7;

    static bool isStatus(std::uint8_t byte) { return byte >= 0x80; }
    static bool isRealTime(std::uint8_t byte) { return byte >= 0xF8; }
    // Bytes of the message this status begins, status included; 0 for a byte that begins no
    // message of fixed length (data bytes, F0, F7 and the undefined F4, F5, F9, FD).
    static std::size_t messageLength(std::uint8_t status);
    // Whether a message's bytes after its status are all data: a status among them cuts it short.
    static bool isWhole(std::span<const std::uint8_t> message);

    // The next piece of a packet outside a SysEx, read from `at`.
    struct Step {
        enum class Kind {
            message,    // `length` bytes of one message
            sysExStart, // an F0: a SysEx begins here
            strayEnd,   // an F7 with no SysEx open (1 byte)
            end,        // nothing more is read from the packet
        };
        Kind kind = Kind::end;
        std::size_t length = 0;
    };
    static Step next(std::span<const std::uint8_t> packet, std::size_t at);
};

} // namespace platform::midi
