#pragma once
// The controller numbers of control-change messages that have a name.
#include "sonabel/midi/MIDIByte.h"

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace sonabel {

class MIDIControl {
public:
    enum Case : MIDIByte {
        modulationWheel = 1,
        breathControl = 2,
        footControl = 4,
        portamento = 5,
        dataEntry = 6,
        mainVolume = 7,
        balance = 8,
        pan = 10,
        expression = 11,
        damperOnOff = 64,
        portamentoOnOff = 65,
        sustenutoOnOff = 66,
        softPedalOnOff = 67,
        soundVariation = 70,
        resonance = 71,
        releaseTime = 72,
        attackTime = 73,
        cutoff = 74,
        soundControl6 = 75,
        soundControl7 = 76,
        soundControl8 = 77,
        soundControl9 = 78,
        soundControl10 = 79,
        gpButton1 = 80,
        gpButton2 = 81,
        gpButton3 = 82,
        gpButton4 = 83,
        reverbLevel = 91,
        tremoloLevel = 92,
        chorusLevel = 93,
        celesteLevel = 94,
        phaserLevel = 95,
        dataEntryPlus = 96,
        dataEntryMinus = 97,
        NrpnLsb = 98,
        NrpnMsb = 99,
        RpnLsb = 100,
        RpnMsb = 101,
        allSoundsOff = 120,
        allControllersOff = 121,
        localControlOnOff = 122,
        allNotesOff = 123,
        omniModeOff = 124,
        omniModeOn = 125,
        monoOperation = 126,
        polyOperation = 127,
        cc0 = 0,
        cc3 = 3,
        cc9 = 9,
        cc12 = 12,
        cc13 = 13,
        cc14 = 14,
        cc15 = 15,
        cc16 = 16,
        cc17 = 17,
        cc18 = 18,
        cc19 = 19,
        cc20 = 20,
        cc21 = 21,
        cc22 = 22,
        cc23 = 23,
        cc24 = 24,
        cc25 = 25,
        cc26 = 26,
        cc27 = 27,
        cc28 = 28,
        cc29 = 29,
        cc30 = 30,
        cc31 = 31,
        cc32 = 32,
        modulationWheelLsb = 33,
        breathControllerLsb = 34,
        footControlLsb = 35,
        portamentoLsb = 37,
        dataEntryLsb = 38,
        mainVolumeLsb = 39,
        balanceLsb = 40,
        panLsb = 42,
        expressionLsb = 43,
        effectControl1Lsb = 44,
        effectControl2Lsb = 45,
    };

    // Every case, in case order.
    static const std::array<Case, 81> allCases;

    constexpr MIDIControl(Case c) : case_(c) {}
    // None for controller numbers without a case and for bytes of 128 or more.
    static std::optional<MIDIControl> make(MIDIByte rawValue);

    constexpr MIDIByte rawValue() const { return case_; }
    std::string description() const;

    constexpr operator Case() const { return case_; }
    constexpr bool operator==(const MIDIControl&) const = default;
    constexpr bool operator==(Case c) const { return case_ == c; }

private:
    Case case_;
};

} // namespace sonabel

template <> struct std::hash<sonabel::MIDIControl> {
    std::size_t operator()(const sonabel::MIDIControl& control) const noexcept {
        return std::hash<sonabel::MIDIByte>{}(control.rawValue());
    }
};
