#pragma once
// The message type of a universal MIDI packet, named by the high nibble of its first word, with the
// number of 32-bit words a message of that type takes.
#include "sonabel/midi/MIDIByte.h"

#include <cstddef>
#include <optional>
#include <string>

namespace sonabel {

class UMPMessageType {
public:
    enum Case : MIDIByte {
        Utility32bit = 0,
        SystemRealTimeAndCommon32bit = 1,
        MIDI1ChannelVoice32bit = 2,
        DataAndSysEx64bit = 3,
        MIDI2ChannelVoice64bit = 4,
        Data128bit = 5,
        Reserved32bit_1 = 6,
        Reserved32bit_2 = 7,
        Reserved64bit_3 = 8,
        Reserved64bit_4 = 9,
        Reserved64bit_5 = 10,
        Reserved96bit_6 = 11,
        Reserved96bit_7 = 12,
        Reserved128bit_8 = 13,
        Reserved128bit_9 = 14,
        Reserved128bit_10 = 15,
    };

    constexpr UMPMessageType(Case c) : case_(c) {}
    // None for 16 and above.
    static std::optional<UMPMessageType> make(MIDIByte rawValue) {
        if (rawValue > Reserved128bit_10) return std::nullopt;
        return UMPMessageType(static_cast<Case>(rawValue));
    }

    constexpr MIDIByte rawValue() const { return case_; }
    std::size_t wordCount() const;
    // The case's name, as log lines show it.
    std::string caseName() const;

    constexpr operator Case() const { return case_; }
    constexpr bool operator==(const UMPMessageType&) const = default;
    constexpr bool operator==(Case c) const { return case_ == c; }

private:
    Case case_;
};

} // namespace sonabel
