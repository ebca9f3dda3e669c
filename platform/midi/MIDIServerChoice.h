#pragma once
// Picks the process's MIDI server at start: the ALSA sequencer when it opens, else an empty
// in-process server, with a log line (category "midi") saying which. SONABEL_MIDI_EMULATE set
// to anything but "" or "0" forces the in-process server, for emulated instruments.
// Tests build their server explicitly and never come through here.
#include "platform/midi/Server.h"
#include "platform/midi/alsa/AlsaPortInfo.h"

#include <functional>
#include <memory>
#include <span>
#include <string>

namespace platform::midi {

class MIDIServerChoice {
public:
    using SequencerOpener = std::function<std::shared_ptr<Server>(std::string* errorText)>;

    // Reads SONABEL_MIDI_EMULATE and opens the real sequencer.
    static std::shared_ptr<Server> choose();
    static std::shared_ptr<Server> choose(const char* emulate, const SequencerOpener& openSequencer);
    static bool emulationRequested(const char* emulate);

    // Whether the sequencer opens and lists a port another program or a device offers (the
    // kernel's "Midi Through" loopback does not count): scripts/run then talks to real hardware.
    static bool sequencerHasExternalPort();
    static bool listsExternalPort(std::span<const AlsaPortInfo> listing, int ownClient);
};

} // namespace platform::midi
