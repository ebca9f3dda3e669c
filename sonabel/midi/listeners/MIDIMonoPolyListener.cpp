#include "sonabel/midi/listeners/MIDIMonoPolyListener.h"

namespace sonabel {

void MIDIMonoPolyListener::receivedMIDIController(MIDIByte controller, MIDIByte, MIDIChannel,
                                                  std::optional<MIDIUniqueID>, std::optional<MIDITimeStamp>) {
    if (controller == 126) setMonoMode(true);
    if (controller == 127) setMonoMode(false);
}

} // namespace sonabel
