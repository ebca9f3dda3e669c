// Printable names of the server operations, for logs and test output.
#include "platform/midi/ServerOperation.h"

namespace platform::midi {

std::string_view serverOperationName(ServerOperation operation) {
    switch (operation) {
    case ServerOperation::clientCreate:
        return "MIDIClientCreateWithBlock";
    case ServerOperation::clientDispose:
        return "MIDIClientDispose";
    case ServerOperation::inputPortCreateWithProtocol:
        return "MIDIInputPortCreateWithProtocol";
    case ServerOperation::inputPortCreateWithBlock:
        return "MIDIInputPortCreateWithBlock";
    case ServerOperation::outputPortCreate:
        return "MIDIOutputPortCreate";
    case ServerOperation::portConnectSource:
        return "MIDIPortConnectSource";
    case ServerOperation::portDisconnectSource:
        return "MIDIPortDisconnectSource";
    case ServerOperation::portDispose:
        return "MIDIPortDispose";
    case ServerOperation::getIntegerProperty:
        return "MIDIObjectGetIntegerProperty";
    case ServerOperation::setIntegerProperty:
        return "MIDIObjectSetIntegerProperty";
    case ServerOperation::getStringProperty:
        return "MIDIObjectGetStringProperty";
    case ServerOperation::setStringProperty:
        return "MIDIObjectSetStringProperty";
    case ServerOperation::send:
        return "MIDISend";
    case ServerOperation::received:
        return "MIDIReceived";
    case ServerOperation::destinationCreate:
        return "MIDIDestinationCreateWithBlock";
    case ServerOperation::sourceCreate:
        return "MIDISourceCreate";
    case ServerOperation::endpointDispose:
        return "MIDIEndpointDispose";
    }
    return "unknown";
}

} // namespace platform::midi
