// The in-process MIDI server: tables under one lock, deliveries through the delivery queue.
#include "platform/midi/inprocess/InProcessServer.h"

#include <algorithm>
#include <utility>

namespace platform::midi {

namespace {

OSStatus checkedOut(const void* out) {
    return out ? noErr : kAudio_ParamError;
}

} // namespace

InProcessServer::InProcessServer(InProcessServerConfig config)
    : config_(config), clock_(config.clock ? *config.clock : HostClock::system()),
      nextHandle_(config.firstHandle ? config.firstHandle : 1), endpoints_(config.uniqueIDSeed),
      queue_(std::make_unique<DeliveryQueue>(
          config.manualDelivery ? nullptr : (config.jobs ? config.jobs : &BackgroundJobs::shared()))) {}

InProcessServer::~InProcessServer() {
    // Stop delivering first, while a delivery in flight may still call back into this server.
    queue_->stop();
}

OSStatus InProcessServer::injected(ServerOperation operation) {
    auto& queued = failures_[static_cast<std::size_t>(operation)];
    if (queued.empty()) return noErr;
    const OSStatus status = queued.front();
    queued.pop_front();
    return status;
}

void InProcessServer::failNext(ServerOperation operation, OSStatus status, int times) {
    std::lock_guard lock(mutex_);
    for (int i = 0; i < times; ++i)
        failures_[static_cast<std::size_t>(operation)].push_back(status);
}

void InProcessServer::clearFailures() {
    std::lock_guard lock(mutex_);
    for (auto& queued : failures_)
        queued.clear();
}

MIDIObjectRef InProcessServer::makeHandle() {
    // Handles are never reused: once the counter runs out, creation fails.
    if (handlesExhausted_) return 0;
    const MIDIObjectRef handle = nextHandle_;
    if (nextHandle_ == UINT32_MAX)
        handlesExhausted_ = true;
    else
        ++nextHandle_;
    return handle;
}

void InProcessServer::retire(const Targets& targets) {
    for (const auto& target : targets)
        queue_->retire(target);
}

// Notifications -------------------------------------------------------------------------------

void InProcessServer::notifyAll(std::function<void(const MIDINotifyBlock&)> call) {
    auto shared = std::make_shared<const std::function<void(const MIDINotifyBlock&)>>(std::move(call));
    for (auto& [ref, client] : ports_.clients()) {
        if (!client.notifyBlock) continue;
        queue_->post(client.target, [block = client.notifyBlock, shared] { (*shared)(*block); });
    }
}

void InProcessServer::notifySetupChanged() {
    notifyAll([](const MIDINotifyBlock& block) {
        const MIDINotification record{kMIDIMsgSetupChanged, sizeof(MIDINotification)};
        block(&record);
    });
}

void InProcessServer::notifyAddedOrRemoved(MIDINotificationMessageID messageID,
                                           const InProcessEndpoints::Endpoint& endpoint) {
    if (endpoint.isPrivate) return;
    const MIDIObjectAddRemoveNotification record{messageID,
                                                 sizeof(MIDIObjectAddRemoveNotification),
                                                 0,
                                                 kMIDIObjectType_Other,
                                                 endpoint.ref,
                                                 endpoint.objectType()};
    notifyAll([record](const MIDINotifyBlock& block) {
        block(reinterpret_cast<const MIDINotification*>(&record));
    });
    notifySetupChanged();
}

void InProcessServer::notifyPropertyChanged(MIDIObjectRef object, MIDIObjectType type,
                                            std::string_view property) {
    notifyAll([object, type, name = std::string(property)](const MIDINotifyBlock& block) {
        const MIDIObjectPropertyChangeNotification record{kMIDIMsgPropertyChanged,
                                                          sizeof(MIDIObjectPropertyChangeNotification),
                                                          object, type, name.c_str()};
        block(reinterpret_cast<const MIDINotification*>(&record));
    });
    notifySetupChanged();
}

void InProcessServer::postNotification(MIDINotificationMessageID messageID) {
    std::lock_guard lock(mutex_);
    notifyAll([messageID](const MIDINotifyBlock& block) {
        const MIDINotification record{messageID, sizeof(MIDINotification)};
        block(&record);
    });
}

void InProcessServer::postIOError(MIDIDeviceRef device, OSStatus errorCode) {
    std::lock_guard lock(mutex_);
    notifyAll([device, errorCode](const MIDINotifyBlock& block) {
        const MIDIIOErrorNotification record{kMIDIMsgIOError, sizeof(MIDIIOErrorNotification), device,
                                             errorCode};
        block(reinterpret_cast<const MIDINotification*>(&record));
    });
}

// Clients and ports ----------------------------------------------------------------------------

OSStatus InProcessServer::createClient(std::string_view name, MIDINotifyBlock notifyBlock,
                                       MIDIClientRef* outClient) {
    std::lock_guard lock(mutex_);
    if (outClient) *outClient = 0;
    if (OSStatus status = injected(ServerOperation::clientCreate)) return status;
    if (OSStatus status = checkedOut(outClient)) return status;
    InProcessPorts::Client client;
    client.ref = makeHandle();
    if (client.ref == 0) return kMIDIServerStartErr;
    client.name = name;
    if (notifyBlock) {
        client.notifyBlock = std::make_shared<const MIDINotifyBlock>(std::move(notifyBlock));
        client.target = queue_->makeTarget();
    }
    *outClient = client.ref;
    ports_.insert(std::move(client));
    return noErr;
}

OSStatus InProcessServer::disposeClient(MIDIClientRef ref) {
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
            for (auto& connection : ports_.findPort(port)->connections)
                targets.push_back(connection.target);
            ports_.erasePort(port);
        }
        for (MIDIEndpointRef e : endpoints_.ownedBy(ref)) {
            auto more = removeEndpoint(*endpoints_.find(e));
            targets.insert(targets.end(), more.begin(), more.end());
        }
    }
    retire(targets);
    return noErr;
}

OSStatus InProcessServer::addPort(MIDIClientRef client, std::string_view name, InProcessPorts::Kind kind,
                                  std::shared_ptr<const MIDIReadBlock> readBlock,
                                  std::shared_ptr<const MIDIReceiveBlock> receiveBlock,
                                  MIDIPortRef* outPort) {
    if (!ports_.findClient(client)) return kMIDIInvalidClient;
    InProcessPorts::Port port;
    port.ref = makeHandle();
    if (port.ref == 0) return kMIDIServerStartErr;
    port.client = client;
    port.name = name;
    port.kind = kind;
    port.readBlock = std::move(readBlock);
    port.receiveBlock = std::move(receiveBlock);
    *outPort = port.ref;
    ports_.insert(std::move(port));
    return noErr;
}

OSStatus InProcessServer::createInputPortWithProtocol(MIDIClientRef client, std::string_view name,
                                                      MIDIProtocolID protocol, MIDIReceiveBlock receiveBlock,
                                                      MIDIPortRef* outPort) {
    std::lock_guard lock(mutex_);
    if (outPort) *outPort = 0;
    if (OSStatus status = injected(ServerOperation::inputPortCreateWithProtocol)) return status;
    if (!outPort || !receiveBlock) return kAudio_ParamError;
    if (protocol == kMIDIProtocol_2_0) return kAudio_UnimplementedError; // MIDI 2.0 words are not made
    if (protocol != kMIDIProtocol_1_0) return kAudio_ParamError;
    return addPort(client, name, InProcessPorts::Kind::eventInput, nullptr,
                   std::make_shared<const MIDIReceiveBlock>(std::move(receiveBlock)), outPort);
}

OSStatus InProcessServer::createInputPortWithBlock(MIDIClientRef client, std::string_view name,
                                                   MIDIReadBlock readBlock, MIDIPortRef* outPort) {
    std::lock_guard lock(mutex_);
    if (outPort) *outPort = 0;
    if (OSStatus status = injected(ServerOperation::inputPortCreateWithBlock)) return status;
    if (!outPort || !readBlock) return kAudio_ParamError;
    return addPort(client, name, InProcessPorts::Kind::packetInput,
                   std::make_shared<const MIDIReadBlock>(std::move(readBlock)), nullptr, outPort);
}

OSStatus InProcessServer::createOutputPort(MIDIClientRef client, std::string_view name,
                                           MIDIPortRef* outPort) {
    std::lock_guard lock(mutex_);
    if (outPort) *outPort = 0;
    if (OSStatus status = injected(ServerOperation::outputPortCreate)) return status;
    if (OSStatus status = checkedOut(outPort)) return status;
    return addPort(client, name, InProcessPorts::Kind::output, nullptr, nullptr, outPort);
}

OSStatus InProcessServer::connectSource(MIDIPortRef portRef, MIDIEndpointRef sourceRef, void* connRefCon) {
    std::lock_guard lock(mutex_);
    if (OSStatus status = injected(ServerOperation::portConnectSource)) return status;
    auto* port = ports_.findPort(portRef);
    if (!port || port->kind == InProcessPorts::Kind::output) return kMIDIInvalidPort;
    auto* source = endpoints_.find(sourceRef);
    if (!source) return kMIDIUnknownEndpoint;
    if (!source->isSource) return kMIDIWrongEndpointType;
    if (auto* connection = port->connectionTo(sourceRef)) {
        connection->refCon = connRefCon; // connecting twice delivers once
        return noErr;
    }
    port->connections.push_back({sourceRef, connRefCon, queue_->makeTarget()});
    return noErr;
}

OSStatus InProcessServer::disconnectSource(MIDIPortRef portRef, MIDIEndpointRef sourceRef) {
    DeliveryQueue::TargetPtr target;
    {
        std::lock_guard lock(mutex_);
        if (OSStatus status = injected(ServerOperation::portDisconnectSource)) return status;
        auto* port = ports_.findPort(portRef);
        if (!port || port->kind == InProcessPorts::Kind::output) return kMIDIInvalidPort;
        auto* connection = port->connectionTo(sourceRef);
        if (!connection) return kMIDINoConnection;
        target = connection->target;
        std::erase_if(port->connections, [&](const auto& c) { return c.source == sourceRef; });
    }
    queue_->retire(target);
    return noErr;
}

OSStatus InProcessServer::disposePort(MIDIPortRef portRef) {
    Targets targets;
    {
        std::lock_guard lock(mutex_);
        if (OSStatus status = injected(ServerOperation::portDispose)) return status;
        auto* port = ports_.findPort(portRef);
        if (!port) return kMIDIInvalidPort;
        for (auto& connection : port->connections)
            targets.push_back(connection.target);
        ports_.erasePort(portRef);
    }
    retire(targets);
    return noErr;
}

// Listing and properties -----------------------------------------------------------------------

ItemCount InProcessServer::numberOfSources() {
    std::lock_guard lock(mutex_);
    return endpoints_.listedCount(true);
}

MIDIEndpointRef InProcessServer::source(ItemCount index) {
    std::lock_guard lock(mutex_);
    return endpoints_.listedAt(true, index);
}

ItemCount InProcessServer::numberOfDestinations() {
    std::lock_guard lock(mutex_);
    return endpoints_.listedCount(false);
}

MIDIEndpointRef InProcessServer::destination(ItemCount index) {
    std::lock_guard lock(mutex_);
    return endpoints_.listedAt(false, index);
}

OSStatus InProcessServer::getIntegerProperty(MIDIObjectRef object, std::string_view property,
                                             std::int32_t* outValue) {
    std::lock_guard lock(mutex_);
    if (outValue) *outValue = 0;
    if (OSStatus status = injected(ServerOperation::getIntegerProperty)) return status;
    if (OSStatus status = checkedOut(outValue)) return status;
    if (auto* endpoint = endpoints_.find(object))
        return InProcessEndpoints::getInteger(*endpoint, property, *outValue);
    if (ports_.findClient(object) || ports_.findPort(object)) return kMIDIUnknownProperty;
    return kMIDIObjectNotFound;
}

OSStatus InProcessServer::getStringProperty(MIDIObjectRef object, std::string_view property,
                                            std::string* outValue) {
    std::lock_guard lock(mutex_);
    if (outValue) outValue->clear();
    if (OSStatus status = injected(ServerOperation::getStringProperty)) return status;
    if (OSStatus status = checkedOut(outValue)) return status;
    if (auto* endpoint = endpoints_.find(object)) {
        OSStatus status = InProcessEndpoints::getString(*endpoint, property, *outValue);
        if (status != noErr) outValue->clear();
        return status;
    }
    const std::string* name = nullptr;
    if (auto* client = ports_.findClient(object)) name = &client->name;
    if (auto* port = ports_.findPort(object)) name = &port->name;
    if (!name) return kMIDIObjectNotFound;
    if (property != kMIDIPropertyName) return kMIDIUnknownProperty;
    *outValue = *name;
    return noErr;
}

OSStatus InProcessServer::setString(InProcessEndpoints::Endpoint& endpoint, std::string_view property,
                                    std::string_view value) {
    if (property == kMIDIPropertyUniqueID || property == kMIDIPropertyPrivate) return kMIDIWrongPropertyType;
    if (InProcessEndpoints::setString(endpoint, property, value))
        notifyPropertyChanged(endpoint.ref, endpoint.objectType(), property);
    return noErr;
}

OSStatus InProcessServer::setInteger(InProcessEndpoints::Endpoint& endpoint, std::string_view property,
                                     std::int32_t value) {
    bool changed = false;
    if (property == kMIDIPropertyUniqueID) {
        const MIDIUniqueID before = endpoint.uniqueID;
        if (OSStatus status = endpoints_.setUniqueID(endpoint, value)) return status;
        changed = endpoint.uniqueID != before;
    } else if (property == kMIDIPropertyPrivate) {
        // Announced either way: others learn that it appears or disappears.
        const bool hide = value != 0;
        if (hide == endpoint.isPrivate) return noErr;
        endpoint.isPrivate = hide;
        notifyPropertyChanged(endpoint.ref, endpoint.objectType(), property);
        return noErr;
    } else {
        auto [it, inserted] = endpoint.integers.try_emplace(std::string(property), value);
        changed = inserted || it->second != value;
        it->second = value;
    }
    if (changed && !endpoint.isPrivate) notifyPropertyChanged(endpoint.ref, endpoint.objectType(), property);
    return noErr;
}

OSStatus InProcessServer::setIntegerProperty(MIDIObjectRef object, std::string_view property,
                                             std::int32_t value) {
    std::lock_guard lock(mutex_);
    if (OSStatus status = injected(ServerOperation::setIntegerProperty)) return status;
    auto* endpoint = endpoints_.find(object);
    if (!endpoint)
        return (ports_.findClient(object) || ports_.findPort(object)) ? kMIDINotPermitted
                                                                      : kMIDIObjectNotFound;
    if (endpoint->isExternal()) return kMIDINotPermitted; // the device's own; see setExternalIntegerProperty
    return setInteger(*endpoint, property, value);
}

OSStatus InProcessServer::setStringProperty(MIDIObjectRef object, std::string_view property,
                                            std::string_view value) {
    std::lock_guard lock(mutex_);
    if (OSStatus status = injected(ServerOperation::setStringProperty)) return status;
    auto* endpoint = endpoints_.find(object);
    if (!endpoint)
        return (ports_.findClient(object) || ports_.findPort(object)) ? kMIDINotPermitted
                                                                      : kMIDIObjectNotFound;
    if (endpoint->isExternal()) return kMIDINotPermitted;
    return setString(*endpoint, property, value);
}

// Sending -------------------------------------------------------------------------------------

bool InProcessServer::readList(const MIDIPacketList* list, ByteCount listSize,
                               std::vector<PacketListReader::Packet>& out) {
    PacketListReader reader(list, listSize);
    PacketListReader::Packet packet;
    const MIDITimeStamp now = clock_.now();
    while (reader.next(packet)) {
        if (packet.timeStamp == 0) packet.timeStamp = now;
        out.push_back(packet);
    }
    return !reader.malformed();
}

void InProcessServer::deliverFromSource(MIDIEndpointRef source,
                                        std::span<const PacketListReader::Packet> packets) {
    bool toPacketPorts = false;
    bool toEventPorts = false;
    for (auto& [ref, port] : ports_.ports()) {
        if (!port.connectionTo(source)) continue;
        (port.kind == InProcessPorts::Kind::eventInput ? toEventPorts : toPacketPorts) = true;
    }
    const auto lists = translation_.fromSource(source, packets, toPacketPorts, toEventPorts);
    for (auto& [ref, port] : ports_.ports()) {
        const auto* connection = port.connectionTo(source);
        if (!connection) continue;
        if (port.kind == InProcessPorts::Kind::eventInput) {
            if (!lists.events) continue;
            queue_->post(connection->target,
                         [block = port.receiveBlock, list = lists.events, refCon = connection->refCon] {
                             (*block)(list->list(), list->size(), refCon);
                         });
        } else {
            queue_->post(connection->target,
                         [block = port.readBlock, list = lists.packets, refCon = connection->refCon] {
                             (*block)(list->list(), list->size(), refCon);
                         });
        }
    }
}

void InProcessServer::deliverToDestination(InProcessEndpoints::Endpoint& destination,
                                           std::span<const PacketListReader::Packet> packets) {
    if (destination.readBlock) {
        queue_->post(destination.target,
                     [block = destination.readBlock, list = InProcessTranslation::packetList(packets)] {
                         (*block)(list->list(), list->size(), nullptr);
                     });
        return;
    }
    std::vector<ExternalPacket> copies;
    copies.reserve(packets.size());
    for (const auto& packet : packets)
        copies.push_back({packet.timeStamp, {packet.data.begin(), packet.data.end()}});
    if (!destination.handler) {
        destination.received.insert(destination.received.end(), std::make_move_iterator(copies.begin()),
                                    std::make_move_iterator(copies.end()));
        return;
    }
    queue_->post(destination.target,
                 [handler = destination.handler, ref = destination.ref, copies = std::move(copies)] {
                     for (const auto& packet : copies)
                         (*handler)(ref, packet);
                 });
}

OSStatus InProcessServer::send(MIDIPortRef portRef, MIDIEndpointRef destinationRef,
                               const MIDIPacketList* list, ByteCount listSize) {
    std::lock_guard lock(mutex_);
    if (OSStatus status = injected(ServerOperation::send)) return status;
    auto* port = ports_.findPort(portRef);
    if (!port || port->kind != InProcessPorts::Kind::output) return kMIDIInvalidPort;
    auto* destination = endpoints_.find(destinationRef);
    if (!destination) return kMIDIUnknownEndpoint;
    if (destination->isSource) return kMIDIWrongEndpointType;
    std::vector<PacketListReader::Packet> packets;
    if (!readList(list, listSize, packets)) return kAudio_ParamError;
    if (!packets.empty()) deliverToDestination(*destination, packets);
    return noErr;
}

OSStatus InProcessServer::received(MIDIEndpointRef sourceRef, const MIDIPacketList* list,
                                   ByteCount listSize) {
    std::lock_guard lock(mutex_);
    if (OSStatus status = injected(ServerOperation::received)) return status;
    auto* source = endpoints_.find(sourceRef);
    if (!source) return kMIDIUnknownEndpoint;
    if (!source->isSource) return kMIDIWrongEndpointType;
    if (source->isExternal()) return kMIDINotPermitted; // hardware sends with sendFromSource
    std::vector<PacketListReader::Packet> packets;
    if (!readList(list, listSize, packets)) return kAudio_ParamError;
    if (!packets.empty()) deliverFromSource(sourceRef, packets);
    return noErr;
}

// Endpoints -----------------------------------------------------------------------------------

OSStatus InProcessServer::addEndpoint(InProcessEndpoints::Endpoint endpoint, MIDIEndpointRef* outRef) {
    endpoint.ref = makeHandle();
    if (endpoint.ref == 0) return kMIDIServerStartErr;
    if (!endpoint.isSource) endpoint.target = queue_->makeTarget();
    const MIDIEndpointRef ref = endpoint.ref;
    if (OSStatus status = endpoints_.insert(std::move(endpoint))) return status;
    *outRef = ref;
    notifyAddedOrRemoved(kMIDIMsgObjectAdded, *endpoints_.find(ref));
    return noErr;
}

InProcessServer::Targets InProcessServer::removeEndpoint(InProcessEndpoints::Endpoint& endpoint) {
    Targets targets;
    if (endpoint.isSource) {
        targets = ports_.dropConnectionsTo(endpoint.ref);
        translation_.forget(endpoint.ref);
    } else {
        targets.push_back(endpoint.target);
    }
    notifyAddedOrRemoved(kMIDIMsgObjectRemoved, endpoint);
    endpoints_.erase(endpoint.ref);
    return targets;
}

OSStatus InProcessServer::createDestination(MIDIClientRef client, std::string_view name,
                                            MIDIReadBlock readBlock, MIDIEndpointRef* outDestination) {
    std::lock_guard lock(mutex_);
    if (outDestination) *outDestination = 0;
    if (OSStatus status = injected(ServerOperation::destinationCreate)) return status;
    if (!ports_.findClient(client)) return kMIDIInvalidClient;
    if (!outDestination || !readBlock) return kAudio_ParamError;
    InProcessEndpoints::Endpoint endpoint;
    endpoint.owner = client;
    endpoint.strings.emplace(kMIDIPropertyName, name);
    endpoint.readBlock = std::make_shared<const MIDIReadBlock>(std::move(readBlock));
    return addEndpoint(std::move(endpoint), outDestination);
}

OSStatus InProcessServer::createSource(MIDIClientRef client, std::string_view name,
                                       MIDIEndpointRef* outSource) {
    std::lock_guard lock(mutex_);
    if (outSource) *outSource = 0;
    if (OSStatus status = injected(ServerOperation::sourceCreate)) return status;
    if (!ports_.findClient(client)) return kMIDIInvalidClient;
    if (OSStatus status = checkedOut(outSource)) return status;
    InProcessEndpoints::Endpoint endpoint;
    endpoint.isSource = true;
    endpoint.owner = client;
    endpoint.strings.emplace(kMIDIPropertyName, name);
    return addEndpoint(std::move(endpoint), outSource);
}

OSStatus InProcessServer::disposeEndpoint(MIDIEndpointRef ref) {
    Targets targets;
    {
        std::lock_guard lock(mutex_);
        if (OSStatus status = injected(ServerOperation::endpointDispose)) return status;
        auto* endpoint = endpoints_.find(ref);
        if (!endpoint) return kMIDIUnknownEndpoint;
        if (endpoint->isExternal()) return kMIDINotPermitted; // unplugged with removeExternalEndpoint
        targets = removeEndpoint(*endpoint);
    }
    retire(targets);
    return noErr;
}

// Hardware side -------------------------------------------------------------------------------

namespace {

InProcessEndpoints::Endpoint describe(const ExternalEndpoint& description, bool isSource) {
    InProcessEndpoints::Endpoint endpoint;
    endpoint.isSource = isSource;
    endpoint.uniqueID = description.uniqueID;
    endpoint.isPrivate = description.isPrivate;
    endpoint.strings.emplace(kMIDIPropertyName, description.name);
    const std::pair<std::string_view, const std::optional<std::string>*> optional[] = {
        {kMIDIPropertyDisplayName, &description.displayName},
        {kMIDIPropertyModel, &description.model},
        {kMIDIPropertyManufacturer, &description.manufacturer},
        {kMIDIPropertyImage, &description.image},
        {kMIDIPropertyDriverOwner, &description.driverOwner}};
    for (const auto& [property, value] : optional)
        if (*value) endpoint.strings.emplace(property, **value);
    return endpoint;
}

} // namespace

OSStatus InProcessServer::addExternalSource(const ExternalEndpoint& description, MIDIEndpointRef* outSource) {
    std::lock_guard lock(mutex_);
    if (outSource) *outSource = 0;
    if (OSStatus status = checkedOut(outSource)) return status;
    return addEndpoint(describe(description, true), outSource);
}

OSStatus InProcessServer::addExternalDestination(const ExternalEndpoint& description,
                                                 MIDIEndpointRef* outDestination,
                                                 ExternalReceiveHandler handler) {
    std::lock_guard lock(mutex_);
    if (outDestination) *outDestination = 0;
    if (OSStatus status = checkedOut(outDestination)) return status;
    auto endpoint = describe(description, false);
    if (handler) endpoint.handler = std::make_shared<const ExternalReceiveHandler>(std::move(handler));
    return addEndpoint(std::move(endpoint), outDestination);
}

OSStatus InProcessServer::setExternalReceiveHandler(MIDIEndpointRef ref, ExternalReceiveHandler handler) {
    std::lock_guard lock(mutex_);
    auto* endpoint = endpoints_.find(ref);
    if (!endpoint) return kMIDIUnknownEndpoint;
    if (!endpoint->isExternal() || endpoint->isSource) return kMIDIWrongEndpointType;
    endpoint->handler =
        handler ? std::make_shared<const ExternalReceiveHandler>(std::move(handler)) : nullptr;
    return noErr;
}

std::vector<ExternalPacket> InProcessServer::takeReceived(MIDIEndpointRef ref) {
    std::lock_guard lock(mutex_);
    auto* endpoint = endpoints_.find(ref);
    if (!endpoint) return {};
    return std::exchange(endpoint->received, {});
}

OSStatus InProcessServer::removeExternalEndpoint(MIDIEndpointRef ref) {
    Targets targets;
    {
        std::lock_guard lock(mutex_);
        auto* endpoint = endpoints_.find(ref);
        if (!endpoint) return kMIDIUnknownEndpoint;
        if (!endpoint->isExternal()) return kMIDINotPermitted;
        targets = removeEndpoint(*endpoint);
    }
    retire(targets);
    return noErr;
}

OSStatus InProcessServer::renameExternalEndpoint(MIDIEndpointRef ref, std::string_view name) {
    return setExternalStringProperty(ref, kMIDIPropertyName, name);
}

OSStatus InProcessServer::setExternalStringProperty(MIDIEndpointRef ref, std::string_view property,
                                                    std::string_view value) {
    std::lock_guard lock(mutex_);
    auto* endpoint = endpoints_.find(ref);
    if (!endpoint) return kMIDIUnknownEndpoint;
    if (!endpoint->isExternal()) return kMIDINotPermitted;
    return setString(*endpoint, property, value);
}

OSStatus InProcessServer::setExternalIntegerProperty(MIDIEndpointRef ref, std::string_view property,
                                                     std::int32_t value) {
    std::lock_guard lock(mutex_);
    auto* endpoint = endpoints_.find(ref);
    if (!endpoint) return kMIDIUnknownEndpoint;
    if (!endpoint->isExternal()) return kMIDINotPermitted;
    return setInteger(*endpoint, property, value);
}

OSStatus InProcessServer::sendFromSource(MIDIEndpointRef ref, std::span<const std::uint8_t> bytes,
                                         MIDITimeStamp time) {
    PacketListBuilder list;
    if (bytes.size() <= UINT16_MAX)
        list.add(time, bytes);
    else
        list.addSplit(time, bytes, UINT16_MAX);
    return sendFromSource(ref, list.list(), list.size());
}

OSStatus InProcessServer::sendFromSource(MIDIEndpointRef ref, const MIDIPacketList* list,
                                         ByteCount listSize) {
    std::lock_guard lock(mutex_);
    auto* source = endpoints_.find(ref);
    if (!source) return kMIDIUnknownEndpoint;
    if (!source->isSource) return kMIDIWrongEndpointType;
    if (!source->isExternal()) return kMIDINotPermitted;
    std::vector<PacketListReader::Packet> packets;
    if (!readList(list, listSize, packets)) return kAudio_ParamError;
    if (!packets.empty()) deliverFromSource(ref, packets);
    return noErr;
}

// Delivery and inspection ---------------------------------------------------------------------

std::size_t InProcessServer::runPending(std::size_t maxCount) {
    return queue_->runPending(maxCount);
}

bool InProcessServer::waitUntilIdle(std::chrono::nanoseconds timeout) {
    return queue_->waitUntilIdle(timeout);
}

std::size_t InProcessServer::pendingDeliveries() const {
    return queue_->pendingCount();
}

std::vector<MIDIPortRef> InProcessServer::portsOf(MIDIClientRef client) const {
    std::lock_guard lock(mutex_);
    return ports_.portsOf(client);
}

std::vector<MIDIEndpointRef> InProcessServer::connectedSources(MIDIPortRef ref) const {
    std::lock_guard lock(mutex_);
    std::vector<MIDIEndpointRef> sources;
    if (const auto* port = ports_.findPort(ref))
        for (const auto& connection : port->connections)
            sources.push_back(connection.source);
    return sources;
}

std::vector<MIDIEndpointRef> InProcessServer::endpointsOf(MIDIClientRef client) const {
    std::lock_guard lock(mutex_);
    return endpoints_.ownedBy(client);
}

std::size_t InProcessServer::clientCount() const {
    std::lock_guard lock(mutex_);
    return ports_.clientCount();
}

} // namespace platform::midi
