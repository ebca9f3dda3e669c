#pragma once
// The meta-event types of Standard MIDI Files, named by the type byte that follows FF.
#include "sonabel/midi/MIDIByte.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace sonabel {

class MIDICustomMetaEventType {
public:
    enum Case : MIDIByte {
        sequenceNumber = 0x00,
        textEvent = 0x01,
        copyright = 0x02,
        trackName = 0x03,
        instrumentName = 0x04,
        lyric = 0x05,
        marker = 0x06,
        cuePoint = 0x07,
        programName = 0x08,
        devicePortName = 0x09,
        metaEvent10 = 0x0A,
        metaEvent12 = 0x0C,
        channelPrefix = 0x20,
        midiPort = 0x21,
        endOfTrack = 0x2F,
        setTempo = 0x51,
        smtpeOffset = 0x54,
        timeSignature = 0x58,
        keySignature = 0x59,
        sequencerSpecificMetaEvent = 0x7F,
    };

    constexpr MIDICustomMetaEventType(Case c) : case_(c) {}
    // None for any byte that is not in the table above.
    static std::optional<MIDICustomMetaEventType> make(MIDIByte rawValue);

    constexpr MIDIByte rawValue() const { return case_; }
    std::string description() const;

    constexpr operator Case() const { return case_; }
    constexpr bool operator==(const MIDICustomMetaEventType&) const = default;
    constexpr bool operator==(Case c) const { return case_ == c; }

private:
    Case case_;
};

} // namespace sonabel

template <> struct std::hash<sonabel::MIDICustomMetaEventType> {
    std::size_t operator()(const sonabel::MIDICustomMetaEventType& type) const noexcept {
        return std::hash<sonabel::MIDIByte>{}(type.rawValue());
    }
};
