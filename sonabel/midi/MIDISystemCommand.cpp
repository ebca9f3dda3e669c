#include "sonabel/midi/MIDISystemCommand.h"

namespace sonabel {

std::optional<MIDISystemCommand> MIDISystemCommand::make(MIDIByte rawValue) {
    switch (rawValue) {
    case sysEx:
    case timeCodeQuarterFrame:
    case songPosition:
    case songSelect:
    case tuneRequest:
    case sysExEnd:
    case clock:
    case start:
    case continue_:
    case stop:
    case activeSensing:
    case sysReset:
        return MIDISystemCommand(static_cast<Case>(rawValue));
    default:
        return std::nullopt;
    }
}

std::string MIDISystemCommand::description() const {
    switch (case_) {
    case sysEx:
        return "SysEx Begin";
    case timeCodeQuarterFrame:
        return "Timecode Quater Frame";
    case songPosition:
        return "Song Position";
    case songSelect:
        return "Song Selection";
    case tuneRequest:
        return "Tune Request";
    case sysExEnd:
        return "SysEx End";
    case clock:
        return "Timing Clock";
    case start:
        return "Start";
    case continue_:
        return "Continue";
    case stop:
        return "Stop";
    case activeSensing:
        return "Active Sensing";
    case sysReset:
        return "System Reset";
    }
    return {};
}

} // namespace sonabel
