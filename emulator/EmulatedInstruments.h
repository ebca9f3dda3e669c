#pragma once
// Emulated instruments for a run without hardware, named in a setting such as
// SONABEL_MIDI_EMULATE="Toskar MK2" or "Pellandor, Velmor@1.0.0": a comma-separated list of port
// names, each optionally followed by "@" and the firmware version it reports, then optionally by
// "+key=N": a key N (0 to 127) held down, reported after every answer to the version query.
#include "emulator/InstrumentEmulator.h"
#include "platform/midi/inprocess/InProcessServer.h"

#include <memory>
#include <string>
#include <vector>

namespace emulation {

// Names that are no instrument's, or versions that do not read as three numbers of 0 to 127,
// are left out with a log line. The emulators must be destroyed before the server.
std::vector<std::shared_ptr<InstrumentEmulator>>
attachEmulatedInstruments(platform::midi::InProcessServer& server, const std::string& names);

} // namespace emulation
