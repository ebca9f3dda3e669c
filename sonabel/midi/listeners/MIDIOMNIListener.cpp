#include "sonabel/midi/listeners/MIDIOMNIListener.h"

namespace sonabel {

void MIDIOMNIListener::receivedMIDIController(MIDIByte controller, MIDIByte, MIDIChannel,
                                              std::optional<MIDIUniqueID>, std::optional<MIDITimeStamp>) {
    if (controller == 125) setOmniMode(true);
    if (controller == 124) setOmniMode(false);
}

} // namespace sonabel
