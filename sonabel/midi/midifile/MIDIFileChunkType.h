#pragma once
// The kinds of chunk a Standard MIDI File is made of, named by their four-character type.
#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

#include "sonabel/midi/MIDIByte.h"

namespace sonabel {

class MIDIFileChunkType {
public:
    enum Case : int { track, header };

    constexpr MIDIFileChunkType(Case c) : case_(c) {}
    // Exact match, case included: "MTrk" or "MThd".
    static std::optional<MIDIFileChunkType> make(std::string_view rawValue);
    // The four type bytes of a chunk, each taken as the character of the same code.
    static std::optional<MIDIFileChunkType> make(std::span<const MIDIByte> typeData);

    constexpr std::string_view rawValue() const { return case_ == track ? "MTrk" : "MThd"; }

    constexpr operator Case() const { return case_; }
    constexpr bool operator==(const MIDIFileChunkType&) const = default;
    constexpr bool operator==(Case c) const { return case_ == c; }

private:
    Case case_;
};

} // namespace sonabel

template <> struct std::hash<sonabel::MIDIFileChunkType> {
    std::size_t operator()(const sonabel::MIDIFileChunkType& type) const noexcept {
        return std::hash<std::string_view>{}(type.rawValue());
    }
};
