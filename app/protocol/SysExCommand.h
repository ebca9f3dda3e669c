#pragma once
// Command bytes of the instrument's own SysEx protocol. Some values mean one thing sent and
// another received (0x25 asks for a layer, and acknowledges a firmware block).
#include <cstdint>

namespace malvo {

enum class SysExCommand : std::uint8_t {
    programDump = 0x00,         // received: one program of a bank; sent: a bank record
    firmwareBlock = 0x01,       // sent
    readyForFirmware = 0x05,    // received
    parameter = 0x06,           // sent: set parameter; received: microtuning state (06 24 s)
    keyTuning = 0x09,           // received: key last played and its tuning
    keyReleased = 0x10,         // received
    programName = 0x11,         // sent
    requestProgram = 0x13,      // sent
    requestState = 0x14,        // sent
    version = 0x15,             // sent: query; received: major, minor, patch
    stateChanged = 0x16,        // received
    toskarBankRecord = 0x17,    // sent
    afterMicrotuning = 0x21,    // sent after the microtuning switch
    layerRecord = 0x24,         // sent and received
    requestLayer = 0x25,        // sent
    acknowledge = 0x25,         // received
    negativeAcknowledge = 0x26, // received
    microtuningState = 0x30,    // sent: query; received: state
    requestTuningDump = 0x32,   // sent
    tuningName = 0x33,          // sent: request; received: slot and name
    tuningNamesChanged = 0x34,  // received
    noteOnOff = 0x35,           // sent
    programChanged = 0x36,      // received
};

// The parameter number that switches microtuning.
inline constexpr std::uint8_t microtuningParameter = 0x24;

} // namespace malvo
