#pragma once
// The MIDI Tuning Standard bulk tuning dump: F0 7E 00 08 01 00, a 16-byte name, three bytes for
// each of the 128 keys, a checksum and F7; 408 bytes. It travels unchanged, never in the
// instrument's manufacturer framing.
#include "app/protocol/mts_note_data.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace malvo {

class TuningDump {
public:
    static constexpr std::size_t size = 408;
    static constexpr std::size_t nameOffset = 6;
    static constexpr std::size_t nameLength = 16;
    static constexpr std::size_t keysOffset = 22;
    static constexpr std::size_t checksumOffset = 406;

    // A key the dump cannot carry (at or above semitone 128, or below 0) is sent as the nearest
    // pitch it can: 7F 7F 7E (7F 7F 7F would mean "no change") or 00 00 00.
    static TuningDump fromNoteData(const std::array<mts_note_data, 128>& keys, std::string_view utf8Name);

    // A ".syx" file's contents: at least 408 bytes (the rest is not part of the dump), beginning
    // F0 7E and with F7 at byte 407. The checksum is not examined. nullopt: "File is not valid!".
    static std::optional<TuningDump> make(std::span<const std::uint8_t> fileContents);

    // One byte per character of the name (its Latin-1 value, else '?'), cut at 16, padded with 00.
    static std::array<std::uint8_t, nameLength> nameField(std::string_view utf8Name);

    // Exclusive-or of the bytes from 7E through the last key byte (offsets 1 to 405).
    static std::uint8_t checksum(std::span<const std::uint8_t> dump);

    static std::array<std::uint8_t, 3> keyBytes(const mts_note_data& key);

    const std::vector<std::uint8_t>& bytes() const { return bytes_; }

    bool operator==(const TuningDump&) const = default;

private:
    explicit TuningDump(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}

    std::vector<std::uint8_t> bytes_;
};

} // namespace malvo
