#pragma once
// The in-process server's endpoint table: sources and destinations, virtual and external, listed
// in creation order. Not locked: the server holds its lock.
#include "platform/midi/EndpointTable.h"
#include "platform/midi/inprocess/InProcessEndpoint.h"

#include <cstdint>

namespace platform::midi {

class InProcessEndpoints : public EndpointTable<InProcessEndpoint> {
public:
    using ExternalReceiveHandler = InProcessEndpoint::ExternalReceiveHandler;

    explicit InProcessEndpoints(std::uint64_t uniqueIDSeed) : seed_(uniqueIDSeed) {}

    // Files the endpoint under its unique ID, made up when 0. kMIDIIDNotUnique when taken.
    OSStatus insert(Endpoint endpoint);

private:
    MIDIUniqueID makeUpUniqueID();

    std::uint64_t seed_;
};

} // namespace platform::midi
