#include "sonabel/midi/midifile/MIDINoteData.h"

#include "platform/core/ValueText.h"

namespace sonabel {

std::string MIDINoteData::description() const {
    return "note: " + platform::describe(noteNumber) + "\nvelocity: " + platform::describe(velocity) +
           "\nchannel: " + platform::describe(channel) + "\nduration: " + platform::describe(duration.beats) +
           "\nposition: " + platform::describe(position.beats);
}

} // namespace sonabel
