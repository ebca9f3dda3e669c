#pragma once
// Rewrites the events of each received packet before the listeners see them. Transformers run on
// the MIDI server's delivery thread, in registration order, each on the previous one's result.
#include "sonabel/internals/error_handling/Log.h"
#include "sonabel/midi/MIDIEvent.h"

#include <vector>

namespace sonabel {

class MIDITransformer {
public:
    virtual ~MIDITransformer() = default;

    virtual std::vector<MIDIEvent> transform(std::vector<MIDIEvent> eventList) {
        Log({"transform(eventList:)", OSLog::midi, OSLogType::info}, "MIDI Transformer called");
        return eventList;
    }
};

} // namespace sonabel
