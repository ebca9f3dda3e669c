#pragma once
// Options of a MIDI object.
#include "platform/midi/Server.h"

#include <memory>

namespace sonabel {

struct MIDIConfig {
    // The server the object's client lives on; null selects the process's current server.
    std::shared_ptr<platform::midi::Server> server;
    // Input ports take universal MIDI packets (MIDI 1.0 protocol) when true, packet lists when false.
    bool universalPacketInput = true;
};

} // namespace sonabel
