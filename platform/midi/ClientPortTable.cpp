// Client, port and connection tables of the servers.
#include "platform/midi/ClientPortTable.h"

#include <algorithm>

namespace platform::midi {

ClientPortTable::Connection* ClientPortTable::Port::connectionTo(MIDIEndpointRef source) {
    auto it = std::find_if(connections.begin(), connections.end(),
                           [&](const Connection& c) { return c.source == source; });
    return it == connections.end() ? nullptr : &*it;
}

ClientPortTable::Client* ClientPortTable::findClient(MIDIObjectRef ref) {
    auto it = clients_.find(ref);
    return it == clients_.end() ? nullptr : &it->second;
}

ClientPortTable::Port* ClientPortTable::findPort(MIDIObjectRef ref) {
    auto it = ports_.find(ref);
    return it == ports_.end() ? nullptr : &it->second;
}

const ClientPortTable::Port* ClientPortTable::findPort(MIDIObjectRef ref) const {
    auto it = ports_.find(ref);
    return it == ports_.end() ? nullptr : &it->second;
}

bool ClientPortTable::holds(MIDIObjectRef ref) const {
    return clients_.contains(ref) || ports_.contains(ref);
}

const std::string* ClientPortTable::nameOf(MIDIObjectRef ref) const {
    if (auto it = clients_.find(ref); it != clients_.end()) return &it->second.name;
    if (auto it = ports_.find(ref); it != ports_.end()) return &it->second.name;
    return nullptr;
}

void ClientPortTable::insert(Client client) {
    const MIDIClientRef ref = client.ref;
    clients_.emplace(ref, std::move(client));
}

void ClientPortTable::insert(Port port) {
    const MIDIPortRef ref = port.ref;
    ports_.emplace(ref, std::move(port));
}

DeliveryQueue::TargetPtr ClientPortTable::disconnect(Port& port, MIDIEndpointRef source) {
    auto* connection = port.connectionTo(source);
    if (!connection) return nullptr;
    DeliveryQueue::TargetPtr target = connection->target;
    std::erase_if(port.connections, [&](const Connection& c) { return c.source == source; });
    return target;
}

std::vector<DeliveryQueue::TargetPtr> ClientPortTable::dropConnectionsTo(MIDIEndpointRef source) {
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

std::vector<MIDIPortRef> ClientPortTable::portsOf(MIDIClientRef client) const {
    std::vector<MIDIPortRef> refs;
    for (const auto& [ref, port] : ports_)
        if (port.client == client) refs.push_back(ref);
    return refs;
}

} // namespace platform::midi
