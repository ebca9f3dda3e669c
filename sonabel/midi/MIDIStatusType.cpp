#include "sonabel/midi/MIDIStatusType.h"

namespace sonabel {

std::optional<MIDIStatusType> MIDIStatusType::make(int rawValue) {
    if (rawValue < noteOff || rawValue > pitchWheel) return std::nullopt;
    return MIDIStatusType(static_cast<Case>(rawValue));
}

std::string MIDIStatusType::description() const {
    switch (case_) {
    case noteOff:
        return "Note Off";
    case noteOn:
        return "Note On";
    case polyphonicAftertouch:
        return "Polyphonic Aftertouch / Pressure";
    case controllerChange:
        return "Control Change";
    case programChange:
        return "Program Change";
    case channelAftertouch:
        return "Channel Aftertouch / Pressure";
    case pitchWheel:
        return "Pitch Wheel";
    }
    return {};
}

} // namespace sonabel
