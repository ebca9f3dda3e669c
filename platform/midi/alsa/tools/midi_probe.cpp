// Exits 0 when the ALSA sequencer opens and lists a port of a device or another program, 1
// otherwise; scripts/run picks real hardware or the emulator by it.
#include "platform/core/LogSink.h"
#include "platform/midi/MIDIServerChoice.h"

#include <cstdio>
#include <memory>

int main() {
    // alsa-lib's complaints about a missing sequencer are the expected answer here, not news.
    platform::LogSink::setCurrent(std::make_shared<platform::CapturingLogSink>());
    const bool found = platform::midi::MIDIServerChoice::sequencerHasExternalPort();
    std::puts(found ? "ALSA sequencer with MIDI ports" : "no ALSA sequencer or no MIDI ports");
    return found ? 0 : 1;
}
