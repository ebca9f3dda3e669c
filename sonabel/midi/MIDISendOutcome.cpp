#include "sonabel/midi/MIDISendOutcome.h"

#include "sonabel/internals/error_handling/CheckError.h"

namespace sonabel {

MIDISendOutcome MIDISendOutcome::of(OSStatus status, const platform::midi::SendFailure& failure) {
    using platform::midi::SendFailure;
    if (status == noErr) return {};
    if (!failure.why.empty()) {
        switch (failure.kind) {
        case SendFailure::Kind::gone:
            return {Kind::gone, failure.why};
        case SendFailure::Kind::stalled:
            return {Kind::stalled, failure.why};
        case SendFailure::Kind::refused:
            return {Kind::refused, failure.why};
        }
    }
    if (status == kMIDIUnknownEndpoint || status == kMIDIObjectNotFound)
        return {Kind::gone, "the destination is no longer there"};
    const auto name = statusName(status);
    return {Kind::refused,
            "the MIDI server refused it (" + (name ? std::string(*name) : std::to_string(status)) + ")"};
}

} // namespace sonabel
