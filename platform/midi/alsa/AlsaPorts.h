#pragma once
// The sequencer server's clients, ports and connections. Each port of ours is a sequencer port
// of our client, no-export so nobody else sees it. Not locked: the server holds its lock.
#include "platform/midi/DeliveryQueue.h"
#include "platform/midi/MIDITypes.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace platform::midi {

class AlsaPorts {
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
        int alsaPort = -1;
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
    Port* findByAlsaPort(int alsaPort);
    void insert(Client client);
    void insert(Port port);
    void eraseClient(MIDIClientRef ref) { clients_.erase(ref); }
    void erasePort(MIDIPortRef ref) { ports_.erase(ref); }

    std::vector<MIDIPortRef> portsOf(MIDIClientRef client) const;
    std::map<MIDIClientRef, Client>& clients() { return clients_; }
    std::map<MIDIPortRef, Port>& ports() { return ports_; }
    // Removes every connection to the source and returns their targets, to be retired.
    std::vector<DeliveryQueue::TargetPtr> dropConnectionsTo(MIDIEndpointRef source);

private:
    std::map<MIDIClientRef, Client> clients_;
    std::map<MIDIPortRef, Port> ports_;
};

} // namespace platform::midi
