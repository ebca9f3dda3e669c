#pragma once
// One source's SysEx while it arrives in pieces, so that receivers get it whole or not at all:
// the layers above never hold half a message, so they cannot disagree about one. Bounded: beyond
// kMaxBytes the message is dropped and the rest of it, up to its F7, skipped.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform::midi {

class SysExCollector {
public:
    static constexpr std::size_t kMaxBytes = std::size_t{1} << 20;

    // Inside a SysEx: collecting it, or skipping the rest of one that was too long.
    bool isOpen() const { return collecting_ || skipping_; }

    // Starts a new message; the caller then adds its bytes, F0 first.
    void start();
    enum class Result { pending, whole, tooLong };
    // Takes the open message's bytes up to and including the first F7 (taken: how many). whole:
    // message() holds it until the next call; tooLong: it was just dropped for its length.
    Result add(std::span<const std::uint8_t> bytes, std::size_t& taken);
    const std::vector<std::uint8_t>& message() const { return bytes_; }
    // Forgets the open message; how many bytes it had, none when no message was being collected.
    std::optional<std::size_t> drop();

    // The log lines of both servers.
    static std::string droppedText(std::string_view source, std::size_t bytes);
    static std::string tooLongText(std::string_view source);
    static std::string strayText(std::string_view source, std::size_t bytes);

private:
    bool collecting_ = false;
    bool skipping_ = false;
    std::vector<std::uint8_t> bytes_;
};

} // namespace platform::midi
