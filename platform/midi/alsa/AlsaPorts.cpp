// Clients, ports and connections of the sequencer server.
#include "platform/midi/alsa/AlsaPorts.h"

#include <algorithm>

namespace platform::midi {

AlsaPorts::Connection* AlsaPorts::Port::connectionTo(MIDIEndpointRef source) {
    auto it =
        std::find_if(connections.begin(), connections.end(), [&](auto& c) { return c.source == source; });
    return it == connections.end() ? nullptr : &*it;
}

AlsaPorts::Client* AlsaPorts::findClient(MIDIObjectRef ref) {
    auto it = clients_.find(ref);
    return it == clients_.end() ? nullptr : &it->second;
}

AlsaPorts::Port* AlsaPorts::findPort(MIDIObjectRef ref) {
    auto it = ports_.find(ref);
    return it == ports_.end() ? nullptr : &it->second;
}

AlsaPorts::Port* AlsaPorts::findByAlsaPort(int alsaPort) {
    for (auto& [ref, port] : ports_)
        if (port.alsaPort == alsaPort) return &port;
    return nullptr;
}

void AlsaPorts::insert(Client client) {
    const MIDIClientRef ref = client.ref;
    clients_.emplace(ref, std::move(client));
}

void AlsaPorts::insert(Port port) {
    const MIDIPortRef ref = port.ref;
    ports_.emplace(ref, std::move(port));
}

std::vector<MIDIPortRef> AlsaPorts::portsOf(MIDIClientRef client) const {
    std::vector<MIDIPortRef> refs;
    for (const auto& [ref, port] : ports_)
        if (port.client == client) refs.push_back(ref);
    return refs;
}

std::vector<DeliveryQueue::TargetPtr> AlsaPorts::dropConnectionsTo(MIDIEndpointRef source) {
    std::vector<DeliveryQueue::TargetPtr> targets;
    for (auto& [ref, port] : ports_) {
        if (auto* connection = port.connectionTo(source)) targets.push_back(connection->target);
        std::erase_if(port.connections, [&](const auto& c) { return c.source == source; });
    }
    return targets;
}

} // namespace platform::midi
