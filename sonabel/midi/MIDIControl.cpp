#include "sonabel/midi/MIDIControl.h"

namespace sonabel {

const std::array<MIDIControl::Case, 81> MIDIControl::allCases{
    modulationWheel,
    breathControl,
    footControl,
    portamento,
    dataEntry,
    mainVolume,
    balance,
    pan,
    expression,
    damperOnOff,
    portamentoOnOff,
    sustenutoOnOff,
    softPedalOnOff,
    soundVariation,
    resonance,
    releaseTime,
    attackTime,
    cutoff,
    soundControl6,
    soundControl7,
    soundControl8,
    soundControl9,
    soundControl10,
    gpButton1,
    gpButton2,
    gpButton3,
    gpButton4,
    reverbLevel,
    tremoloLevel,
    chorusLevel,
    celesteLevel,
    phaserLevel,
    dataEntryPlus,
    dataEntryMinus,
    NrpnLsb,
    NrpnMsb,
    RpnLsb,
    RpnMsb,
    allSoundsOff,
    allControllersOff,
    localControlOnOff,
    allNotesOff,
    omniModeOff,
    omniModeOn,
    monoOperation,
    polyOperation,
    cc0,
    cc3,
    cc9,
    cc12,
    cc13,
    cc14,
    cc15,
    cc16,
    cc17,
    cc18,
    cc19,
    cc20,
    cc21,
    cc22,
    cc23,
    cc24,
    cc25,
    cc26,
    cc27,
    cc28,
    cc29,
    cc30,
    cc31,
    cc32,
    modulationWheelLsb,
    breathControllerLsb,
    footControlLsb,
    portamentoLsb,
    dataEntryLsb,
    mainVolumeLsb,
    balanceLsb,
    panLsb,
    expressionLsb,
    effectControl1Lsb,
    effectControl2Lsb,
};

namespace {
// Controller number -> case, for the 128 numbers of a data byte.
constexpr std::array<bool, 128> makeKnownNumbers() {
    std::array<bool, 128> known{};
    for (const int number :
         {1,   2,   4,   5,   6,  7,  8,  10, 11, 64, 65, 66, 67, 70, 71, 72,  73,  74,  75,  76,  77,
          78,  79,  80,  81,  82, 83, 91, 92, 93, 94, 95, 96, 97, 98, 99, 100, 101, 120, 121, 122, 123,
          124, 125, 126, 127, 0,  3,  9,  12, 13, 14, 15, 16, 17, 18, 19, 20,  21,  22,  23,  24,  25,
          26,  27,  28,  29,  30, 31, 32, 33, 34, 35, 37, 38, 39, 40, 42, 43,  44,  45})
        known[static_cast<std::size_t>(number)] = true;
    return known;
}
constexpr std::array<bool, 128> kKnownNumbers = makeKnownNumbers();
} // namespace

std::optional<MIDIControl> MIDIControl::make(MIDIByte rawValue) {
    if (rawValue >= kKnownNumbers.size() || !kKnownNumbers[rawValue]) return std::nullopt;
    return MIDIControl(static_cast<Case>(rawValue));
}

std::string MIDIControl::description() const {
    switch (case_) {
    case modulationWheel:
        return "Modulation Wheel";
    case breathControl:
        return "Breath Control";
    case footControl:
        return "Foot Control";
    case portamento:
        return "Portamento";
    case dataEntry:
        return "Data Entry";
    case mainVolume:
        return "Main Volume";
    case balance:
        return "Balance";
    case pan:
        return "Stereo Panning";
    case expression:
        return "Expression Pedal";
    case damperOnOff:
        return "Damper Pedal On/Off";
    case portamentoOnOff:
        return "Portamento On/Off";
    case sustenutoOnOff:
        return "Sustenuto On/Off";
    case softPedalOnOff:
        return "Soft Pedal On/Off";
    case soundVariation:
        return "Sound Variation";
    case resonance:
        return "Resonance";
    case releaseTime:
        return "Release Time";
    case attackTime:
        return "Attack Time";
    case cutoff:
        return "Cutoff";
    case soundControl6:
        return "Sound Control 6";
    case soundControl7:
        return "Sound Control 7";
    case soundControl8:
        return "Sound Control 8";
    case soundControl9:
        return "Sound Control 9";
    case soundControl10:
        return "Sound Control 10";
    case gpButton1:
        return "GP Button 1";
    case gpButton2:
        return "GP Button 2";
    case gpButton3:
        return "GP Button 3";
    case gpButton4:
        return "GP Button 4";
    case reverbLevel:
        return "Reverb Level";
    case tremoloLevel:
        return "Tremolo Level";
    case chorusLevel:
        return "Chorus Level";
    case celesteLevel:
        return "Celeste Level or Detune";
    case phaserLevel:
        return "Phaser Level";
    case dataEntryPlus:
        return "Data Entry Addition";
    case dataEntryMinus:
        return "Data Entry Subtraction";
    case NrpnLsb:
        return "Non-registered Parameter Number LSB";
    case NrpnMsb:
        return "Non-registered Parameter Number MSB";
    case RpnLsb:
        return "Registered Parameter Number LSB";
    case RpnMsb:
        return "Registered Parameter Number MSB";
    case allSoundsOff:
        return "All Sounds Off";
    case allControllersOff:
        return "All Controllers Off";
    case localControlOnOff:
        return "Local Control On/Off";
    case allNotesOff:
        return "All Notes Off";
    case omniModeOff:
        return "Omni Mode Off";
    case omniModeOn:
        return "Omni Mode On";
    case monoOperation:
        return "Mono Operation";
    case polyOperation:
        return "Poly Operation";
    case modulationWheelLsb:
        return "Mod Wheel LSB";
    case breathControllerLsb:
        return "Breath LSB";
    case footControlLsb:
        return "Foot LSB";
    case portamentoLsb:
        return "Portamento LSB";
    case dataEntryLsb:
        return "Data Entry LSB";
    case mainVolumeLsb:
        return "Main Volume LSB";
    case balanceLsb:
        return "Balance LSB";
    case panLsb:
        return "Pan LSB";
    case expressionLsb:
        return "Expression LSB";
    case effectControl1Lsb:
        return "Effect CTRL 1 LSB";
    case effectControl2Lsb:
        return "Effect CTRL 2 LSB";
    default:
        return "CC #" + std::to_string(rawValue());
    }
}

} // namespace sonabel
