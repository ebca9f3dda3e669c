#pragma once
// The one reading of MIDI 1.0 bytes that every receive path shares: which bytes begin a message
// and how long it is, and how a packet is cut into messages outside a SysEx. There is no running
// status: a data byte where a status is expected, an undefined status, or a message cut short by
// the packet's end ends the packet. A real-time byte may stand anywhere, inside a message too: on
// the wire it came before the message it stands in. Any other status byte among a message's data
// cuts the message short: it begins the next one. The undefined real-time bytes F9 and FD stand
// anywhere as the others do but mean nothing: every reader leaves them out, as a receiver ignores
// what it does not know, and the message around them goes on.
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
    static bool isUndefinedRealTime(std::uint8_t byte) { return byte == 0xF9 || byte == 0xFD; }
    // Bytes of the message this status begins, status included; 0 for a byte that begins no
    // message of fixed length (data bytes, F0, F7 and the undefined F4, F5, F9, FD).
    static std::size_t messageLength(std::uint8_t status);
    // Whether a message's bytes after its status are all data: a status among them cuts it short.
    static bool isWhole(std::span<const std::uint8_t> message);
    // A step's bytes as the wire delivered them: the real-time bytes among them (each a message
    // of its own), then the rest; the undefined ones are left out.
    template <class RealTime, class Rest>
    static void unweave(std::span<const std::uint8_t> bytes, RealTime realTime, Rest rest) {
        for (const std::uint8_t& byte : bytes)
            if (isRealTime(byte) && !isUndefinedRealTime(byte)) realTime(byte);
        for (const std::uint8_t& byte : bytes)
            if (!isRealTime(byte)) rest(byte);
    }

    // The next piece of a packet outside a SysEx, read from `at`.
    struct Step {
        enum class Kind {
            message,    // `length` bytes of one message, real-time bytes among them included
            sysExStart, // an F0: a SysEx begins here
            strayEnd,   // an F7 with no SysEx open (1 byte)
            cut,        // `length` bytes of a message that the status byte after them cut short
            ignored,    // an undefined real-time byte (1 byte), which is left out
            end,        // nothing more is read from the packet
        };
        Kind kind = Kind::end;
        std::size_t length = 0;
        std::size_t realTime = 0; // defined real-time bytes among a message's (or a cut one's) bytes
        std::size_t ignored = 0;  // undefined ones among them
    };
    static Step next(std::span<const std::uint8_t> packet, std::size_t at);
};

} // namespace platform::midi
