#pragma once
// Turns a MIDI 1.0 byte stream into MIDI 1.0 universal MIDI packet words: channel voice messages
// as type 2 words, system messages as type 1, SysEx as SysEx7 (type 3) pieces of up to 6 bytes
// with complete/start/continue/end status. Group 0 throughout.
//
// The stream arrives in chunks (one per packet); the translator keeps running status, a short
// message cut between chunks and an open SysEx from one chunk to the next.
//
// Inside a SysEx every byte up to F7 is data and passes unchanged, 80 and above included: our
// instruments put 8-bit values (keys above 127, Latin-1 names) in their SysEx, and chunks are cut
// by size, so any of those values may begin one. Only a chunk known to be a message of its own (a
// sequencer event) ends an open SysEx by its status; the pieces so far are then closed with an end
// piece.
#include <cstdint>
#include <span>
#include <vector>

namespace platform::midi {

class UMPTranslator {
public:
    enum class Chunk {
        // A piece of the byte stream, cut anywhere: while a SysEx is open, all of it up to F7 is data.
        stream,
        // One whole message that arrived as an event of its own: a real-time one passes as its own
        // word and leaves an open SysEx open; any other status ends that SysEx first.
        message,
    };
    // Appends the words for one chunk to out.
    void translate(std::span<const std::uint8_t> chunk, std::vector<std::uint32_t>& out,
                   Chunk kind = Chunk::stream);
    // Forgets running status, half messages and an open SysEx.
    void reset();

    bool inSysEx() const { return inSysEx_; }

    enum SysEx7Status : std::uint8_t { complete = 0, start = 1, continued = 2, end = 3 };
    static std::uint32_t channelVoiceWord(std::uint8_t status, std::uint8_t data1, std::uint8_t data2);
    static std::uint32_t systemWord(std::uint8_t status, std::uint8_t data1, std::uint8_t data2);
    // The two words of one SysEx7 piece; count is clamped to 6.
    static void appendSysEx7(SysEx7Status status, std::span<const std::uint8_t> bytes,
                             std::vector<std::uint32_t>& out);

private:
    void handleByte(std::uint8_t byte, bool chunkStart, std::vector<std::uint32_t>& out);
    void sysExByte(std::uint8_t byte, std::vector<std::uint32_t>& out);
    void closeSysEx(std::vector<std::uint32_t>& out);
    void flushSysEx(bool last, std::vector<std::uint32_t>& out);

    std::uint8_t runningStatus_ = 0; // channel status for running status, 0 when none
    std::uint8_t status_ = 0;        // status of the message being collected, 0 when none
    std::uint8_t data_[2] = {0, 0};
    std::uint8_t have_ = 0;
    std::uint8_t need_ = 0;

    bool inSysEx_ = false;
    bool sysExStarted_ = false; // a start piece went out for the open SysEx
    std::uint8_t sysEx_[6] = {0, 0, 0, 0, 0, 0};
    std::uint8_t sysExCount_ = 0;
};

} // namespace platform::midi
