#pragma once
// Ways the emulated instrument misbehaves. Counters are used up reply by reply.
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>

namespace emulation {

struct EmulatorFaults {
    bool silent = false;                      // no request is answered
    std::set<std::uint8_t> silentCommands{};  // requests with these command bytes go unanswered
    std::set<int> silentSlots{};              // 32 and 33 for these slots go unanswered
    std::chrono::nanoseconds replyDelay{0};   // on the emulator's clock
    int naks = 0;                             // the next firmware blocks answered 26 and not taken
    int wrongLengthReplies = 0;               // the next replies get lengthChange data bytes more
    int lengthChange = 1;                     // (fewer when negative) just before F7
    int truncatedReplies = 0;                 // the next replies are cut, without F7,
    std::size_t truncateTo = 0;               // to this many bytes (half the message when 0)
    std::optional<std::uint8_t> replyModel{}; // model byte written into replies
    std::optional<std::array<std::uint8_t, 3>> replyManufacturerID{}; // in replies with the ID

    bool operator==(const EmulatorFaults&) const = default;
};

} // namespace emulation
