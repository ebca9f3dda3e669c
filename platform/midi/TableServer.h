#pragma once
// What the servers share that keep their clients, ports and endpoints in tables under one lock:
// the tables, handles, the delivery queue, notifications to clients, and the operations that only
// touch the tables. A backend adds what its own ports and endpoints need through the hooks below;
// they run with the lock held and call no user code.
#include "platform/core/BackgroundJobs.h"
#include "platform/midi/ClientPortTable.h"
#include "platform/midi/DeliveryQueue.h"
#include "platform/midi/Server.h"
#include "platform/midi/ServerOperation.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform::midi {

template <class Endpoints> class TableServer : public Server {
public:
    using Endpoint = typename Endpoints::Endpoint;

    OSStatus createClient(std::string_view name, MIDINotifyBlock notifyBlock,
                          MIDIClientRef* outClient) override;
    OSStatus disposeClient(MIDIClientRef client) override;
    OSStatus createInputPortWithProtocol(MIDIClientRef client, std::string_view name, MIDIProtocolID protocol,
                                         MIDIReceiveBlock receiveBlock, MIDIPortRef* outPort) override;
    OSStatus createInputPortWithBlock(MIDIClientRef client, std::string_view name, MIDIReadBlock readBlock,
                                      MIDIPortRef* outPort) override;
    OSStatus createOutputPort(MIDIClientRef client, std::string_view name, MIDIPortRef* outPort) override;
    OSStatus connectSource(MIDIPortRef port, MIDIEndpointRef source, void* connRefCon) override;
    OSStatus disconnectSource(MIDIPortRef port, MIDIEndpointRef source) override;
    OSStatus disposePort(MIDIPortRef port) override;
    ItemCount numberOfSources() override;
    MIDIEndpointRef source(ItemCount index) override;
    ItemCount numberOfDestinations() override;
    MIDIEndpointRef destination(ItemCount index) override;
    OSStatus getIntegerProperty(MIDIObjectRef object, std::string_view property,
                                std::int32_t* outValue) override;
    OSStatus setIntegerProperty(MIDIObjectRef object, std::string_view property, std::int32_t value) override;
    OSStatus getStringProperty(MIDIObjectRef object, std::string_view property,
                               std::string* outValue) override;
    OSStatus setStringProperty(MIDIObjectRef object, std::string_view property,
                               std::string_view value) override;
    OSStatus createDestination(MIDIClientRef client, std::string_view name, MIDIReadBlock readBlock,
                               MIDIEndpointRef* outDestination) override;
    OSStatus createSource(MIDIClientRef client, std::string_view name, MIDIEndpointRef* outSource) override;
    OSStatus disposeEndpoint(MIDIEndpointRef endpoint) override;
    void stop() override { queue_->stop(); }

protected:
    using Targets = std::vector<DeliveryQueue::TargetPtr>;

    // Null jobs: manual delivery.
    TableServer(Endpoints endpoints, MIDIObjectRef firstHandle, BackgroundJobs* deliveryJobs)
        : endpoints_(std::move(endpoints)), queue_(std::make_unique<DeliveryQueue>(deliveryJobs)),
          nextHandle_(firstHandle ? firstHandle : 1) {}

    // A failure to report instead of doing the operation, or noErr.
    virtual OSStatus injected(ServerOperation) { return noErr; }
    virtual void clientCreated(std::string_view) {}
    // Gives a new port what the backend keeps behind it; on failure the port is not made.
    virtual OSStatus openPort(ClientPortTable::Port&) { return noErr; }
    virtual void closePort(const ClientPortTable::Port&) {}
    // Also for a port connected already: what the backend lost of the connection is made again.
    virtual OSStatus connecting(const ClientPortTable::Port&, const Endpoint&) { return noErr; }
    virtual void disconnecting(const ClientPortTable::Port&, MIDIEndpointRef) {}
    // Makes a virtual endpoint of the client (checked) and announces it; readBlock for a destination.
    virtual OSStatus addOwnEndpoint(MIDIClientRef client, std::string_view name, bool isSource,
                                    std::shared_ptr<const MIDIReadBlock> readBlock,
                                    MIDIEndpointRef* outRef) = 0;
    // Takes one of a client's virtual endpoints out of every table; returns what must be retired.
    virtual Targets removeOwnEndpoint(Endpoint& endpoint) = 0;
    // A string property of a virtual endpoint that a client sets.
    virtual OSStatus setString(Endpoint& endpoint, std::string_view property, std::string_view value) = 0;

    MIDIObjectRef makeHandle();
    OSStatus setInteger(Endpoint& endpoint, std::string_view property, std::int32_t value);
    void retire(const Targets& targets);

    // Each posts one notification to every client that has a notify block.
    void notifyAll(std::function<void(const MIDINotifyBlock&)> call);
    void notifySetupChanged();
    void postAddedOrRemoved(MIDINotificationMessageID messageID, MIDIEndpointRef ref, MIDIObjectType type);
    void postPropertyChanged(MIDIObjectRef object, MIDIObjectType type, std::string_view property);

    mutable std::mutex mutex_;
    Endpoints endpoints_;
    ClientPortTable ports_;
    std::unique_ptr<DeliveryQueue> queue_;

private:
    OSStatus addPort(MIDIClientRef client, std::string_view name, ClientPortTable::Kind kind,
                     std::shared_ptr<const MIDIReadBlock> readBlock,
                     std::shared_ptr<const MIDIReceiveBlock> receiveBlock, MIDIPortRef* outPort);
    // Takes the port out of the table; returns its connections' targets.
    Targets removePort(ClientPortTable::Port& port);

    MIDIObjectRef nextHandle_;
    bool handlesExhausted_ = false;
};

// Handles, retiring, notifications -------------------------------------------------------------

template <class Endpoints> MIDIObjectRef TableServer<Endpoints>::makeHandle() {
    // Handles are never reused: once the counter runs out, creation fails.
    if (handlesExhausted_) return 0;
    const MIDIObjectRef handle = nextHandle_;
    if (nextHandle_ == UINT32_MAX)
        handlesExhausted_ = true;
    else
        ++nextHandle_;
    return handle;
}

template <class Endpoints> void TableServer<Endpoints>::retire(const Targets& targets) {
    for (const auto& target : targets)
        queue_->retire(target);
}

template <class Endpoints>
void TableServer<Endpoints>::notifyAll(std::function<void(const MIDINotifyBlock&)> call) {
    auto shared = std::make_shared<const std::function<void(const MIDINotifyBlock&)>>(std::move(call));
    for (auto& [ref, client] : ports_.clients()) {
        if (!client.notifyBlock) continue;
        queue_->post(client.target, [block = client.notifyBlock, shared] { (*shared)(*block); });
    }
}

template <class Endpoints> void TableServer<Endpoints>::notifySetupChanged() {
    notifyAll([](const MIDINotifyBlock& block) {
        const MIDINotification record{kMIDIMsgSetupChanged, sizeof(MIDINotification)};
        block(&record);
    });
}

template <class Endpoints>
void TableServer<Endpoints>::postAddedOrRemoved(MIDINotificationMessageID messageID, MIDIEndpointRef ref,
                                                MIDIObjectType type) {
    const MIDIObjectAddRemoveNotification record{
        messageID, sizeof(MIDIObjectAddRemoveNotification), 0, kMIDIObjectType_Other, ref, type};
    notifyAll([record](const MIDINotifyBlock& block) {
        block(reinterpret_cast<const MIDINotification*>(&record));
    });
}

template <class Endpoints>
void TableServer<Endpoints>::postPropertyChanged(MIDIObjectRef object, MIDIObjectType type,
                                                 std::string_view property) {
    notifyAll([object, type, name = std::string(property)](const MIDINotifyBlock& block) {
        const MIDIObjectPropertyChangeNotification record{kMIDIMsgPropertyChanged,
                                                          sizeof(MIDIObjectPropertyChangeNotification),
                                                          object, type, name.c_str()};
        block(reinterpret_cast<const MIDINotification*>(&record));
    });
}

// Clients and ports ----------------------------------------------------------------------------

template <class Endpoints>
OSStatus TableServer<Endpoints>::createClient(std::string_view name, MIDINotifyBlock notifyBlock,
                                              MIDIClientRef* outClient) {
    std::lock_guard lock(mutex_);
    if (outClient) *outClient = 0;
    if (OSStatus status = injected(ServerOperation::clientCreate)) return status;
    if (!outClient) return kAudio_ParamError;
    ClientPortTable::Client client;
    client.ref = makeHandle();
    if (client.ref == 0) return kMIDIServerStartErr;
    client.name = name;
    clientCreated(name);
    if (notifyBlock) {
        client.notifyBlock = std::make_shared<const MIDINotifyBlock>(std::move(notifyBlock));
        client.target = queue_->makeTarget();
    }
    *outClient = client.ref;
    ports_.insert(std::move(client));
    return noErr;
}

template <class Endpoints> OSStatus TableServer<Endpoints>::disposeClient(MIDIClientRef ref) {
    Targets targets;
    {
        std::lock_guard lock(mutex_);
        if (OSStatus status = injected(ServerOperation::clientDispose)) return status;
        auto* client = ports_.findClient(ref);
        if (!client) return kMIDIInvalidClient;
        targets.push_back(client->target);
        // Gone from the table first, so the client hears nothing of its own endpoints leaving.
        ports_.eraseClient(ref);
        for (MIDIPortRef port : ports_.portsOf(ref)) {
            auto more = removePort(*ports_.findPort(port));
            targets.insert(targets.end(), more.begin(), more.end());
        }
        for (MIDIEndpointRef e : endpoints_.ownedBy(ref)) {
            auto more = removeOwnEndpoint(*endpoints_.find(e));
            targets.insert(targets.end(), more.begin(), more.end());
        }
    }
    retire(targets);
    return noErr;
}

template <class Endpoints>
OSStatus
TableServer<Endpoints>::addPort(MIDIClientRef client, std::string_view name, ClientPortTable::Kind kind,
                                std::shared_ptr<const MIDIReadBlock> readBlock,
                                std::shared_ptr<const MIDIReceiveBlock> receiveBlock, MIDIPortRef* outPort) {
    if (!ports_.findClient(client)) return kMIDIInvalidClient;
    ClientPortTable::Port port;
    port.ref = makeHandle();
    if (port.ref == 0) return kMIDIServerStartErr;
    port.client = client;
    port.name = name;
    port.kind = kind;
    if (OSStatus status = openPort(port)) return status;
    port.readBlock = std::move(readBlock);
    port.receiveBlock = std::move(receiveBlock);
    *outPort = port.ref;
    ports_.insert(std::move(port));
    return noErr;
}

template <class Endpoints>
typename TableServer<Endpoints>::Targets TableServer<Endpoints>::removePort(ClientPortTable::Port& port) {
    Targets targets;
    for (auto& connection : port.connections)
        targets.push_back(connection.target);
    closePort(port);
    ports_.erasePort(port.ref);
    return targets;
}

template <class Endpoints>
OSStatus TableServer<Endpoints>::createInputPortWithProtocol(MIDIClientRef client, std::string_view name,
                                                             MIDIProtocolID protocol,
                                                             MIDIReceiveBlock receiveBlock,
                                                             MIDIPortRef* outPort) {
    std::lock_guard lock(mutex_);
    if (outPort) *outPort = 0;
    if (OSStatus status = injected(ServerOperation::inputPortCreateWithProtocol)) return status;
    if (!outPort || !receiveBlock) return kAudio_ParamError;
    if (protocol == kMIDIProtocol_2_0) return kAudio_UnimplementedError; // MIDI 2.0 words are not made
    if (protocol != kMIDIProtocol_1_0) return kAudio_ParamError;
    return addPort(client, name, ClientPortTable::Kind::eventInput, nullptr,
                   std::make_shared<const MIDIReceiveBlock>(std::move(receiveBlock)), outPort);
}

template <class Endpoints>
OSStatus TableServer<Endpoints>::createInputPortWithBlock(MIDIClientRef client, std::string_view name,
                                                          MIDIReadBlock readBlock, MIDIPortRef* outPort) {
    std::lock_guard lock(mutex_);
    if (outPort) *outPort = 0;
    if (OSStatus status = injected(ServerOperation::inputPortCreateWithBlock)) return status;
    if (!outPort || !readBlock) return kAudio_ParamError;
    return addPort(client, name, ClientPortTable::Kind::packetInput,
                   std::make_shared<const MIDIReadBlock>(std::move(readBlock)), nullptr, outPort);
}

template <class Endpoints>
OSStatus TableServer<Endpoints>::createOutputPort(MIDIClientRef client, std::string_view name,
                                                  MIDIPortRef* outPort) {
    std::lock_guard lock(mutex_);
    if (outPort) *outPort = 0;
    if (OSStatus status = injected(ServerOperation::outputPortCreate)) return status;
    if (!outPort) return kAudio_ParamError;
    return addPort(client, name, ClientPortTable::Kind::output, nullptr, nullptr, outPort);
}

template <class Endpoints>
OSStatus TableServer<Endpoints>::connectSource(MIDIPortRef portRef, MIDIEndpointRef sourceRef,
                                               void* connRefCon) {
    std::lock_guard lock(mutex_);
    if (OSStatus status = injected(ServerOperation::portConnectSource)) return status;
    auto* port = ports_.findPort(portRef);
    if (!port || port->kind == ClientPortTable::Kind::output) return kMIDIInvalidPort;
    auto* source = endpoints_.find(sourceRef);
    if (!source) return kMIDIUnknownEndpoint;
    if (!source->isSource) return kMIDIWrongEndpointType;
    if (auto* connection = port->connectionTo(sourceRef)) {
        if (OSStatus status = connecting(*port, *source)) return status;
        connection->refCon = connRefCon; // connecting twice delivers once
        return noErr;
    }
    if (OSStatus status = connecting(*port, *source)) return status;
    port->connections.push_back({sourceRef, connRefCon, queue_->makeTarget()});
    return noErr;
}

template <class Endpoints>
OSStatus TableServer<Endpoints>::disconnectSource(MIDIPortRef portRef, MIDIEndpointRef sourceRef) {
    DeliveryQueue::TargetPtr target;
    {
        std::lock_guard lock(mutex_);
        if (OSStatus status = injected(ServerOperation::portDisconnectSource)) return status;
        auto* port = ports_.findPort(portRef);
        if (!port || port->kind == ClientPortTable::Kind::output) return kMIDIInvalidPort;
        if (!port->connectionTo(sourceRef)) return kMIDINoConnection;
        disconnecting(*port, sourceRef);
        target = ports_.disconnect(*port, sourceRef);
    }
    queue_->retire(target);
    return noErr;
}

template <class Endpoints> OSStatus TableServer<Endpoints>::disposePort(MIDIPortRef portRef) {
    Targets targets;
    {
        std::lock_guard lock(mutex_);
        if (OSStatus status = injected(ServerOperation::portDispose)) return status;
        auto* port = ports_.findPort(portRef);
        if (!port) return kMIDIInvalidPort;
        targets = removePort(*port);
    }
    retire(targets);
    return noErr;
}

// Listing and properties -----------------------------------------------------------------------

template <class Endpoints> ItemCount TableServer<Endpoints>::numberOfSources() {
    std::lock_guard lock(mutex_);
    return endpoints_.listedCount(true);
}

template <class Endpoints> MIDIEndpointRef TableServer<Endpoints>::source(ItemCount index) {
    std::lock_guard lock(mutex_);
    return endpoints_.listedAt(true, index);
}

template <class Endpoints> ItemCount TableServer<Endpoints>::numberOfDestinations() {
    std::lock_guard lock(mutex_);
    return endpoints_.listedCount(false);
}

template <class Endpoints> MIDIEndpointRef TableServer<Endpoints>::destination(ItemCount index) {
    std::lock_guard lock(mutex_);
    return endpoints_.listedAt(false, index);
}

template <class Endpoints>
OSStatus TableServer<Endpoints>::getIntegerProperty(MIDIObjectRef object, std::string_view property,
                                                    std::int32_t* outValue) {
    std::lock_guard lock(mutex_);
    if (outValue) *outValue = 0;
    if (OSStatus status = injected(ServerOperation::getIntegerProperty)) return status;
    if (!outValue) return kAudio_ParamError;
    if (auto* endpoint = endpoints_.find(object)) return endpoint->getInteger(property, *outValue);
    return ports_.holds(object) ? kMIDIUnknownProperty : kMIDIObjectNotFound;
}

template <class Endpoints>
OSStatus TableServer<Endpoints>::getStringProperty(MIDIObjectRef object, std::string_view property,
                                                   std::string* outValue) {
    std::lock_guard lock(mutex_);
    if (outValue) outValue->clear();
    if (OSStatus status = injected(ServerOperation::getStringProperty)) return status;
    if (!outValue) return kAudio_ParamError;
    if (auto* endpoint = endpoints_.find(object)) {
        const OSStatus status = endpoint->getString(property, *outValue);
        if (status != noErr) outValue->clear();
        return status;
    }
    const std::string* name = ports_.nameOf(object);
    if (!name) return kMIDIObjectNotFound;
    if (property != kMIDIPropertyName) return kMIDIUnknownProperty;
    *outValue = *name;
    return noErr;
}

template <class Endpoints>
OSStatus TableServer<Endpoints>::setInteger(Endpoint& endpoint, std::string_view property,
                                            std::int32_t value) {
    bool announce = false;
    if (OSStatus status = endpoints_.setInteger(endpoint, property, value, announce)) return status;
    if (announce) {
        postPropertyChanged(endpoint.ref, endpoint.objectType(), property);
        notifySetupChanged();
    }
    return noErr;
}

template <class Endpoints>
OSStatus TableServer<Endpoints>::setIntegerProperty(MIDIObjectRef object, std::string_view property,
                                                    std::int32_t value) {
    std::lock_guard lock(mutex_);
    if (OSStatus status = injected(ServerOperation::setIntegerProperty)) return status;
    auto* endpoint = endpoints_.find(object);
    if (!endpoint) return ports_.holds(object) ? kMIDINotPermitted : kMIDIObjectNotFound;
    if (endpoint->owner == 0) return kMIDINotPermitted; // a device's own
    return setInteger(*endpoint, property, value);
}

template <class Endpoints>
OSStatus TableServer<Endpoints>::setStringProperty(MIDIObjectRef object, std::string_view property,
                                                   std::string_view value) {
    std::lock_guard lock(mutex_);
    if (OSStatus status = injected(ServerOperation::setStringProperty)) return status;
    auto* endpoint = endpoints_.find(object);
    if (!endpoint) return ports_.holds(object) ? kMIDINotPermitted : kMIDIObjectNotFound;
    if (endpoint->owner == 0) return kMIDINotPermitted;
    return setString(*endpoint, property, value);
}

// Virtual endpoints ----------------------------------------------------------------------------

template <class Endpoints>
OSStatus TableServer<Endpoints>::createDestination(MIDIClientRef client, std::string_view name,
                                                   MIDIReadBlock readBlock, MIDIEndpointRef* outDestination) {
    std::lock_guard lock(mutex_);
    if (outDestination) *outDestination = 0;
    if (OSStatus status = injected(ServerOperation::destinationCreate)) return status;
    if (!ports_.findClient(client)) return kMIDIInvalidClient;
    if (!outDestination || !readBlock) return kAudio_ParamError;
    return addOwnEndpoint(client, name, false, std::make_shared<const MIDIReadBlock>(std::move(readBlock)),
                          outDestination);
}

template <class Endpoints>
OSStatus TableServer<Endpoints>::createSource(MIDIClientRef client, std::string_view name,
                                              MIDIEndpointRef* outSource) {
    std::lock_guard lock(mutex_);
    if (outSource) *outSource = 0;
    if (OSStatus status = injected(ServerOperation::sourceCreate)) return status;
    if (!ports_.findClient(client)) return kMIDIInvalidClient;
    if (!outSource) return kAudio_ParamError;
    return addOwnEndpoint(client, name, true, nullptr, outSource);
}

template <class Endpoints> OSStatus TableServer<Endpoints>::disposeEndpoint(MIDIEndpointRef ref) {
    Targets targets;
    {
        std::lock_guard lock(mutex_);
        if (OSStatus status = injected(ServerOperation::endpointDispose)) return status;
        auto* endpoint = endpoints_.find(ref);
        if (!endpoint) return kMIDIUnknownEndpoint;
        if (endpoint->owner == 0) return kMIDINotPermitted; // a device's, which goes when it goes
        targets = removeOwnEndpoint(*endpoint);
    }
    retire(targets);
    return noErr;
}

} // namespace platform::midi
