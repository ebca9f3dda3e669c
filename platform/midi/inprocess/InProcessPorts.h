#pragma once
// The in-process server's clients, ports and connections. Not locked: the server holds its lock.
#include "platform/midi/DeliveryQueue.h"
#include "platform/midi/MIDITypes.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace platform::midi {

class InProcessPorts {
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
        std::shared_ptr<const MIDIReadBlock> readBlock;
        std::shared_ptr<const MIDIReceiveBlock> receiveBlock;
        std::vector<Connection> connections;

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
    void insert(Client client);
    void insert(Port port);
    void eraseClient(MIDIClientRef ref);
    void erasePort(MIDIPortRef ref);

    std::vector<MIDIPortRef> portsOf(MIDIClientRef client) const;
    std::map<MIDIClientRef, Client>& clients() { return clients_; }
    std::size_t clientCount() const { return clients_.size(); }
    std::map<MIDIPortRef, Port>& ports() { return ports_; }
    // Removes every connection to the source and returns their targets, to be retired.
    std::vector<DeliveryQueue::TargetPtr> dropConnectionsTo(MIDIEndpointRef source);

private:
    std::map<MIDIClientRef, Client> clients_;
    std::map<MIDIPortRef, Port> ports_; // creation order
};

} // namespace platform::midi
