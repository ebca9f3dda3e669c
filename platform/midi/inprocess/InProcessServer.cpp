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
    : TableServer(InProcessEndpoints(config.uniqueIDSeed), config.firstHandle,
                  config.manualDelivery ? nullptr : (config.jobs ? config.jobs : &BackgroundJobs::shared())),
      config_(config), clock_(config.clock ? *config.clock : HostClock::system()) {}

InProcessServer::~InProcessServer() {
    // Stop delivering first, while a delivery in flight may still call back into this server.
    stop();
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

// Notifications -------------------------------------------------------------------------------

void InProcessServer::notifyAddedOrRemoved(MIDINotificationMessageID messageID, const Endpoint& endpoint) {
    if (endpoint.isPrivate) return;
    postAddedOrRemoved(messageID, endpoint.ref, endpoint.objectType());
    notifySetupChanged();
}

void InProcessServer::notifyPropertyChanged(MIDIObjectRef object, MIDIObjectType type,
                                            std::string_view property) {
    postPropertyChanged(object, type, property);
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

// Properties ----------------------------------------------------------------------------------

OSStatus InProcessServer::setString(Endpoint& endpoint, std::string_view property, std::string_view value) {
    if (property == kMIDIPropertyUniqueID || property == kMIDIPropertyPrivate) return kMIDIWrongPropertyType;
    // A private endpoint changes unheard, as it was added unheard.
    if (endpoint.setString(property, value) && !endpoint.isPrivate)
        notifyPropertyChanged(endpoint.ref, endpoint.objectType(), property);
    return noErr;
}

// Sending -------------------------------------------------------------------------------------

bool InProcessServer::readList(const MIDIPacketList* list, ByteCount listSize,
                               std::vector<PacketListReader::Packet>& out) {
    out.clear();
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
        (port.kind == ClientPortTable::Kind::eventInput ? toEventPorts : toPacketPorts) = true;
    }
    std::string name;
    if (const auto* endpoint = endpoints_.find(source)) endpoint->getString(kMIDIPropertyName, name);
    const auto lists = translation_.fromSource(source, name, packets, toPacketPorts, toEventPorts);
    for (auto& [ref, port] : ports_.ports()) {
        const auto* connection = port.connectionTo(source);
        if (!connection) continue;
        if (port.kind == ClientPortTable::Kind::eventInput) {
            if (!lists.events) continue;
            queue_->post(connection->target,
                         [block = port.receiveBlock, list = lists.events, refCon = connection->refCon] {
                             (*block)(list->list(), list->size(), refCon);
                         });
        } else {
            if (!lists.packets) continue;
            queue_->post(connection->target,
                         [block = port.readBlock, list = lists.packets, refCon = connection->refCon] {
                             (*block)(list->list(), list->size(), refCon);
                         });
        }
    }
}

void InProcessServer::deliverToDestination(Endpoint& destination, const ClientPortTable::Port& port,
                                           std::span<const PacketListReader::Packet> packets) {
    if (destination.readBlock) {
        auto list = translation_.toDestination(destination.ref, port.ref, port.name, packets);
        if (!list) return;
        queue_->post(destination.target, [block = destination.readBlock, list = std::move(list)] {
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
    if (!port || port->kind != ClientPortTable::Kind::output) return kMIDIInvalidPort;
    auto* destination = endpoints_.find(destinationRef);
    if (!destination) return kMIDIUnknownEndpoint;
    if (destination->isSource) return kMIDIWrongEndpointType;
    if (!readList(list, listSize, packets_)) return kAudio_ParamError;
    if (!packets_.empty()) deliverToDestination(*destination, *port, packets_);
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
    if (!readList(list, listSize, packets_)) return kAudio_ParamError;
    if (!packets_.empty()) deliverFromSource(sourceRef, packets_);
    return noErr;
}

// Endpoints -----------------------------------------------------------------------------------

OSStatus InProcessServer::addEndpoint(Endpoint endpoint, MIDIEndpointRef* outRef) {
    endpoint.ref = makeHandle();
    if (endpoint.ref == 0) return kMIDIServerStartErr;
    if (!endpoint.isSource) endpoint.target = queue_->makeTarget();
    const MIDIEndpointRef ref = endpoint.ref;
    if (OSStatus status = endpoints_.insert(std::move(endpoint))) return status;
    *outRef = ref;
    notifyAddedOrRemoved(kMIDIMsgObjectAdded, *endpoints_.find(ref));
    return noErr;
}

InProcessServer::Targets InProcessServer::removeEndpoint(Endpoint& endpoint) {
    Targets targets;
    if (endpoint.isSource) {
        targets = ports_.dropConnectionsTo(endpoint.ref);
        translation_.forget(endpoint.ref);
    } else {
        targets.push_back(endpoint.target);
        translation_.forget(endpoint.ref);
    }
    notifyAddedOrRemoved(kMIDIMsgObjectRemoved, endpoint);
    endpoints_.erase(endpoint.ref);
    return targets;
}

OSStatus InProcessServer::addOwnEndpoint(MIDIClientRef client, std::string_view name, bool isSource,
                                         std::shared_ptr<const MIDIReadBlock> readBlock,
                                         MIDIEndpointRef* outRef) {
    Endpoint endpoint;
    endpoint.isSource = isSource;
    endpoint.owner = client;
    endpoint.strings.emplace(kMIDIPropertyName, name);
    endpoint.readBlock = std::move(readBlock);
    return addEndpoint(std::move(endpoint), outRef);
}

// Hardware side -------------------------------------------------------------------------------

namespace {

InProcessEndpoint describe(const ExternalEndpoint& description, bool isSource) {
    InProcessEndpoint endpoint;
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
    if (!readList(list, listSize, packets_)) return kAudio_ParamError;
    if (!packets_.empty()) deliverFromSource(ref, packets_);
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
