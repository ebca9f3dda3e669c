#pragma once
// The system messages, named by their status byte.
#include "sonabel/midi/MIDIByte.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sonabel {

class MIDISystemCommand {
public:
    enum Case : MIDIByte {
        sysEx = 0xF0,
        timeCodeQuarterFrame = 0xF1,
        songPosition = 0xF2,
        songSelect = 0xF3,
        tuneRequest = 0xF6,
        sysExEnd = 0xF7,
        clock = 0xF8,
        start = 0xFA,
        continue_ = 0xFB,
        stop = 0xFC,
        activeSensing = 0xFE,
        sysReset = 0xFF,
    };

    constexpr MIDISystemCommand(Case c) : case_(c) {}
    // None for bytes below F0 and for F4, F5, F9 and FD.
    static std::optional<MIDISystemCommand> make(MIDIByte rawValue);

    constexpr MIDIByte rawValue() const { return case_; }
    std::vector<MIDIByte> data() const { return {case_}; }
    std::string description() const;

    constexpr operator Case() const { return case_; }
    constexpr bool operator==(const MIDISystemCommand&) const = default;
    constexpr bool operator==(Case c) const { return case_ == c; }

private:
    Case case_;
};

} // namespace sonabel

template <> struct std::hash<sonabel::MIDISystemCommand> {
    std::size_t operator()(const sonabel::MIDISystemCommand& command) const noexcept {
        return std::hash<sonabel::MIDIByte>{}(command.rawValue());
    }
};
