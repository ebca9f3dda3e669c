#pragma once
// The kind of a channel message, named by the high nibble of its status byte.
#include "sonabel/midi/MIDIByte.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace sonabel {

class MIDIStatusType {
public:
    enum Case : int {
        noteOff = 8,
        noteOn = 9,
        polyphonicAftertouch = 10,
        controllerChange = 11,
        programChange = 12,
        channelAftertouch = 13,
        pitchWheel = 14,
    };

    constexpr MIDIStatusType(Case c) : case_(c) {}
    // The case for 8...14, none otherwise.
    static std::optional<MIDIStatusType> make(int rawValue);
    // The case named by the byte's high nibble.
    static std::optional<MIDIStatusType> from(MIDIByte byte) { return make(highNibble(byte)); }

    constexpr int rawValue() const { return case_; }
    std::string description() const;
    // Bytes of the whole message, status included.
    constexpr int length() const { return case_ == programChange || case_ == channelAftertouch ? 2 : 3; }

    constexpr operator Case() const { return case_; }
    constexpr bool operator==(const MIDIStatusType&) const = default;
    constexpr bool operator==(Case c) const { return case_ == c; }

private:
    Case case_;
};

} // namespace sonabel

template <> struct std::hash<sonabel::MIDIStatusType> {
    std::size_t operator()(const sonabel::MIDIStatusType& type) const noexcept {
        return std::hash<int>{}(type.rawValue());
    }
};
