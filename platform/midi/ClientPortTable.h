#pragma once
// The clients, ports and connections a server keeps, the same for every backend. Not locked: the
// server holds its lock.
#include "platform/midi/DeliveryQueue.h"
#include "platform/midi/MIDITypes.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace platform::midi {

class ClientPortTable {
public:
    enum class Kind { packetInput, eventInput, output };

    struct Connection {
        MIDIEndpointRef source = 0;
        void* refCon = nullptr;
        DeliveryQueue::TargetPtr target; // one per connection: disconnecting retires it
    };

    struct Port {
        MIDIPortRef ref = 0;
        MIDIClientRef client = 0;
        std::string name;
        Kind kind = Kind::output;
        int backendPort = -1; // the backend's own port behind this one, if it has any
        std::shared_ptr<const MIDIReadBlock> readBlock;
        std::shared_ptr<const MIDIReceiveBlock> receiveBlock;
        std::vector<Connection> connections; // at most one per source

        Connection* connectionTo(MIDIEndpointRef source);
    };

    struct Client {
        MIDIClientRef ref = 0;
        std::string name;
        std::shared_ptr<const MIDINotifyBlock> notifyBlock;
        DeliveryQueue::TargetPtr target;
    };

    Client* findClient(MIDIObjectRef ref);
    Port* findPort(MIDIObjectRef ref);
    const Port* findPort(MIDIObjectRef ref) const;
    // Whether the handle is one of a client or a port.
    bool holds(MIDIObjectRef ref) const;
    // The name of the client or port; null for other handles.
    const std::string* nameOf(MIDIObjectRef ref) const;

    void insert(Client client);
    void insert(Port port);
    void eraseClient(MIDIClientRef ref) { clients_.erase(ref); }
    void erasePort(MIDIPortRef ref) { ports_.erase(ref); }
    // Removes the port's connection to the source; returns its target, null when there was none.
    DeliveryQueue::TargetPtr disconnect(Port& port, MIDIEndpointRef source);
    // Removes every connection to the source and returns their targets, to be retired.
    std::vector<DeliveryQueue::TargetPtr> dropConnectionsTo(MIDIEndpointRef source);

    std::vector<MIDIPortRef> portsOf(MIDIClientRef client) const;
    std::map<MIDIClientRef, Client>& clients() { return clients_; }
    std::size_t clientCount() const { return clients_.size(); }
    std::map<MIDIPortRef, Port>& ports() { return ports_; } // creation order

private:
    std::map<MIDIClientRef, Client> clients_;
    std::map<MIDIPortRef, Port> ports_;
};

} // namespace platform::midi
