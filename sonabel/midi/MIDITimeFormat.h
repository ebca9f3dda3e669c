#pragma once
// The time base of a Standard MIDI File: ticks per beat or SMPTE frames per second.
#include <cstddef>
#include <functional>
#include <optional>

namespace sonabel {

class MIDITimeFormat {
public:
    enum Case : int { ticksPerBeat = 0, framesPerSecond = 1 };

    constexpr MIDITimeFormat(Case c) : case_(c) {}
    static constexpr std::optional<MIDITimeFormat> make(int rawValue) {
        if (rawValue != ticksPerBeat && rawValue != framesPerSecond) return std::nullopt;
        return MIDITimeFormat(static_cast<Case>(rawValue));
    }

    constexpr int rawValue() const { return case_; }

    constexpr operator Case() const { return case_; }
    constexpr bool operator==(const MIDITimeFormat&) const = default;
    constexpr bool operator==(Case c) const { return case_ == c; }

private:
    Case case_;
};

} // namespace sonabel

template <> struct std::hash<sonabel::MIDITimeFormat> {
    std::size_t operator()(const sonabel::MIDITimeFormat& format) const noexcept {
        return std::hash<int>{}(format.rawValue());
    }
};
