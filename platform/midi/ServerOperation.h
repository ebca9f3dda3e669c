#pragma once
// Names the operations of a MIDI server, one per Server call that can fail, so tests can make a
// particular call fail and logs can say which call did.
#include <string_view>

namespace platform::midi {

enum class ServerOperation {
    clientCreate,
    clientDispose,
    inputPortCreateWithProtocol,
    inputPortCreateWithBlock,
    outputPortCreate,
    portConnectSource,
    portDisconnectSource,
    portDispose,
    getIntegerProperty,
    setIntegerProperty,
    getStringProperty,
    setStringProperty,
    send,
    received,
    destinationCreate,
    sourceCreate,
    endpointDispose,
};

inline constexpr int kServerOperationCount = static_cast<int>(ServerOperation::endpointDispose) + 1;

std::string_view serverOperationName(ServerOperation operation);

} // namespace platform::midi
