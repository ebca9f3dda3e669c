#pragma once
// An endpoint of the sequencer server: another client's port, or a virtual endpoint of ours
// (an exported port of our own client, with its owner set).
#include "platform/midi/EndpointRecord.h"

#include <string>
#include <utility>

namespace platform::midi {

struct AlsaEndpoint : EndpointRecord {
    int client = 0;
    int port = 0;
    bool kernelClient = false;
    std::string clientName;
    std::string portName;

    bool isOwn() const { return owner != 0; }
    // Listed by client, then port.
    std::pair<int, int> listingKey() const { return {client, port}; }
};

} // namespace platform::midi
