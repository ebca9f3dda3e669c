#pragma once
// An endpoint of the in-process server: virtual, or external (plugged in by test code or the
// instrument emulator, owner 0).
#include "platform/midi/EndpointRecord.h"
#include "platform/midi/inprocess/ExternalPacket.h"

#include <functional>
#include <memory>
#include <vector>

namespace platform::midi {

struct InProcessEndpoint : EndpointRecord {
    using ExternalReceiveHandler =
        std::function<void(MIDIEndpointRef destination, const ExternalPacket& packet)>;

    std::shared_ptr<const ExternalReceiveHandler> handler; // external destination
    std::vector<ExternalPacket> received;                  // external, no handler

    bool isExternal() const { return owner == 0; }
};

} // namespace platform::midi
