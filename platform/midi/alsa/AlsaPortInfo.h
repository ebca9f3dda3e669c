#pragma once
// One sequencer port as the sequencer lists it.
#include <string>

namespace platform::midi {

struct AlsaPortInfo {
    int client = 0;
    int port = 0;
    std::string clientName;
    std::string portName;
    unsigned capability = 0; // SND_SEQ_PORT_CAP_* bits
    // A kernel client of a card: the port drives a MIDI device whose output buffer drops what
    // overflows. The kernel's clients of no card (Midi Through) count as programs.
    bool kernelClient = false;
    bool operator==(const AlsaPortInfo&) const = default;
};

} // namespace platform::midi
