// Client, port and connection tables of the in-process server.
#include "platform/midi/inprocess/InProcessPorts.h"

#include <algorithm>

namespace platform::midi {

InProcessPorts::Connection* InProcessPorts::Port::connectionTo(MIDIEndpointRef source) {
    auto it = std::find_if(connections.begin(), connections.end(),
                           [&](const Connection& c) { return c.source == source; });
    return it == connections.end() ? nullptr : &*it;
}

InProcessPorts::Client* InProcessPorts::findClient(MIDIObjectRef ref) {
    auto it = clients_.find(ref);
    return it == clients_.end() ? nullptr : &it->second;
}

InProcessPorts::Port* InProcessPorts::findPort(MIDIObjectRef ref) {
    auto it = ports_.find(ref);
    return it == ports_.end() ? nullptr : &it->second;
}

const InProcessPorts::Port* InProcessPorts::findPort(MIDIObjectRef ref) const {
    auto it = ports_.find(ref);
    return it == ports_.end() ? nullptr : &it->second;
}

void InProcessPorts::insert(Client client) {
    const MIDIClientRef ref = client.ref;
    clients_.emplace(ref, std::move(client));
}

void InProcessPorts::insert(Port port) {
    const MIDIPortRef ref = port.ref;
    ports_.emplace(ref, std::move(port));
}

void InProcessPorts::eraseClient(MIDIClientRef ref) {
    clients_.erase(ref);
}
void InProcessPorts::erasePort(MIDIPortRef ref) {
    ports_.erase(ref);
}

std::vector<MIDIPortRef> InProcessPorts::portsOf(MIDIClientRef client) const {
    std::vector<MIDIPortRef> refs;
    for (const auto& [ref, port] : ports_)
        if (port.client == client) refs.push_back(ref);
    return refs;
}

std::vector<DeliveryQueue::TargetPtr> InProcessPorts::dropConnectionsTo(MIDIEndpointRef source) {
    std::vector<DeliveryQueue::TargetPtr> targets;
    for (auto& [ref, port] : ports_) {
        std::erase_if(port.connections, [&](const Connection& c) {
            if (c.source != source) return false;
            targets.push_back(c.target);
            return true;
        });
    }
    return targets;
}

} // namespace platform::midi
