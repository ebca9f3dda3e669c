// The MIDI server over the ALSA sequencer: tables under one lock, reads on the polling job,
// deliveries through the delivery queue, writes through AlsaOutput.
#include "platform/midi/alsa/AlsaServer.h"

#include "platform/core/LogSink.h"
#include "platform/midi/EventListBuilder.h"
#include "platform/midi/PacketListBuilder.h"
#include "platform/midi/PacketListReader.h"
#include "platform/midi/alsa/AlsaLibSequencer.h"

#include <cerrno>

namespace platform::midi {

namespace {

constexpr unsigned kPortType = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION;

void log(LogLevel level, const std::string& text) {
    LogSink::emit({"io.sonabel.platform", "midi", level, text});
}

OSStatus statusOf(int alsaError) {
    return alsaError == -ENOENT || alsaError == -ENXIO ? kMIDIUnknownEndpoint : kMIDIServerStartErr;
}

bool isAnnouncement(const snd_seq_event_t& event) {
    return event.source.client == SND_SEQ_CLIENT_SYSTEM && event.type >= SND_SEQ_EVENT_CLIENT_START &&
           event.type <= SND_SEQ_EVENT_PORT_CHANGE;
}

} // namespace

std::shared_ptr<AlsaServer> AlsaServer::open(AlsaServerConfig config, std::string* errorText) {
    auto sequencer = AlsaLibSequencer::open({}, errorText);
    if (!sequencer) return nullptr;
    return std::make_shared<AlsaServer>(std::move(sequencer), config);
}

AlsaServer::AlsaServer(std::unique_ptr<AlsaSequencer> sequencer, AlsaServerConfig config)
    : config_(config), clock_(config.clock ? *config.clock : HostClock::system()),
      sequencer_(std::move(sequencer)), ownClient_(sequencer_->clientID()), output_(*sequencer_, config_),
      nextHandle_(config.firstHandle ? config.firstHandle : 1) {
    BackgroundJobs& jobs = config.jobs ? *config.jobs : BackgroundJobs::shared();
    queue_ = std::make_unique<DeliveryQueue>(config.manualDelivery ? nullptr : &jobs);
    {
        std::lock_guard lock(mutex_);
        apply(endpoints_.sync(sequencer_->listPorts(), ownClient_, [this] { return makeHandle(); }));
    }
    pollRunning_ = true;
    jobs.run([this] { poll(); });
}

AlsaServer::~AlsaServer() {
    stopping_ = true;
    sequencer_->wake();
    {
        std::unique_lock lock(pollMutex_);
        pollDone_.wait(lock, [&] { return !pollRunning_; });
    }
    queue_->stop();
}

MIDIObjectRef AlsaServer::makeHandle() {
    if (handlesExhausted_) return 0;
    const MIDIObjectRef handle = nextHandle_;
    if (nextHandle_ == UINT32_MAX)
        handlesExhausted_ = true;
    else
        ++nextHandle_;
    return handle;
}

void AlsaServer::retire(const Targets& targets) {
    for (const auto& target : targets)
        if (target) queue_->retire(target);
}

// Notifications -------------------------------------------------------------------------------

void AlsaServer::notifyAll(std::function<void(const MIDINotifyBlock&)> call) {
    auto shared = std::make_shared<const std::function<void(const MIDINotifyBlock&)>>(std::move(call));
    for (auto& [ref, client] : ports_.clients()) {
        if (!client.notifyBlock) continue;
        queue_->post(client.target, [block = client.notifyBlock, shared] { (*shared)(*block); });
    }
}

void AlsaServer::notifySetupChanged() {
    notifyAll([](const MIDINotifyBlock& block) {
        const MIDINotification record{kMIDIMsgSetupChanged, sizeof(MIDINotification)};
        block(&record);
    });
}

void AlsaServer::notify(const AlsaEndpoints::Change& change) {
    if (change.messageID == kMIDIMsgPropertyChanged) {
        notifyAll([change](const MIDINotifyBlock& block) {
            const MIDIObjectPropertyChangeNotification record{
                kMIDIMsgPropertyChanged, sizeof(MIDIObjectPropertyChangeNotification), change.ref,
                change.type, change.property.c_str()};
            block(reinterpret_cast<const MIDINotification*>(&record));
        });
        return;
    }
    const MIDIObjectAddRemoveNotification record{
        change.messageID, sizeof(MIDIObjectAddRemoveNotification), 0, kMIDIObjectType_Other, change.ref,
        change.type};
    notifyAll([record](const MIDINotifyBlock& block) {
        block(reinterpret_cast<const MIDINotification*>(&record));
    });
}

AlsaServer::Targets AlsaServer::apply(const std::vector<AlsaEndpoints::Change>& changes) {
    Targets targets;
    for (const auto& change : changes) {
        if (change.messageID == kMIDIMsgObjectRemoved && change.type == kMIDIObjectType_Source) {
            auto dropped = ports_.dropConnectionsTo(change.ref);
            targets.insert(targets.end(), dropped.begin(), dropped.end());
            translation_.forgetSource(change.ref);
        }
        notify(change);
    }
    if (!changes.empty()) notifySetupChanged();
    return targets;
}

// Clients and ports ----------------------------------------------------------------------------

OSStatus AlsaServer::createClient(std::string_view name, MIDINotifyBlock notifyBlock,
                                  MIDIClientRef* outClient) {
    std::lock_guard lock(mutex_);
    if (!outClient) return kAudio_ParamError;
    *outClient = 0;
    AlsaPorts::Client client;
    client.ref = makeHandle();
    if (client.ref == 0) return kMIDIServerStartErr;
    client.name = name;
    if (clientName_.empty() && !name.empty()) {
        // One handle for the process: its first client names it.
        clientName_ = name;
        sequencer_->setClientName(name);
    }
    if (notifyBlock) {
        client.notifyBlock = std::make_shared<const MIDINotifyBlock>(std::move(notifyBlock));
        client.target = queue_->makeTarget();
    }
    *outClient = client.ref;
    ports_.insert(std::move(client));
    return noErr;
}

OSStatus AlsaServer::disposeClient(MIDIClientRef ref) {
    Targets targets;
    {
        std::lock_guard lock(mutex_);
        auto* client = ports_.findClient(ref);
        if (!client) return kMIDIInvalidClient;
        targets.push_back(client->target);
        ports_.eraseClient(ref);
        for (MIDIPortRef portRef : ports_.portsOf(ref)) {
            auto* port = ports_.findPort(portRef);
            for (auto& connection : port->connections)
                targets.push_back(connection.target);
            sequencer_->deletePort(port->alsaPort);
            translation_.forgetPort(portRef);
            ports_.erasePort(portRef);
        }
        for (MIDIEndpointRef e : endpoints_.ownedBy(ref)) {
            auto more = removeOwnEndpoint(*endpoints_.find(e));
            targets.insert(targets.end(), more.begin(), more.end());
        }
    }
    retire(targets);
    return noErr;
}

OSStatus AlsaServer::addPort(MIDIClientRef client, std::string_view name, AlsaPorts::Kind kind,
                             std::shared_ptr<const MIDIReadBlock> readBlock,
                             std::shared_ptr<const MIDIReceiveBlock> receiveBlock, MIDIPortRef* outPort) {
    if (!ports_.findClient(client)) return kMIDIInvalidClient;
    const unsigned caps = (kind == AlsaPorts::Kind::output ? SND_SEQ_PORT_CAP_READ : SND_SEQ_PORT_CAP_WRITE) |
                          SND_SEQ_PORT_CAP_NO_EXPORT;
    AlsaPorts::Port port;
    port.ref = makeHandle();
    if (port.ref == 0) return kMIDIServerStartErr;
    port.alsaPort = sequencer_->createPort(name, caps, kPortType);
    if (port.alsaPort < 0) return kMIDIServerStartErr;
    port.client = client;
    port.name = name;
    port.kind = kind;
    port.readBlock = std::move(readBlock);
    port.receiveBlock = std::move(receiveBlock);
    *outPort = port.ref;
    ports_.insert(std::move(port));
    return noErr;
}

OSStatus AlsaServer::createInputPortWithProtocol(MIDIClientRef client, std::string_view name,
                                                 MIDIProtocolID protocol, MIDIReceiveBlock receiveBlock,
                                                 MIDIPortRef* outPort) {
    std::lock_guard lock(mutex_);
    if (outPort) *outPort = 0;
    if (!outPort || !receiveBlock) return kAudio_ParamError;
    if (protocol == kMIDIProtocol_2_0) return kAudio_UnimplementedError;
    if (protocol != kMIDIProtocol_1_0) return kAudio_ParamError;
    return addPort(client, name, AlsaPorts::Kind::eventInput, nullptr,
                   std::make_shared<const MIDIReceiveBlock>(std::move(receiveBlock)), outPort);
}

OSStatus AlsaServer::createInputPortWithBlock(MIDIClientRef client, std::string_view name,
                                              MIDIReadBlock readBlock, MIDIPortRef* outPort) {
    std::lock_guard lock(mutex_);
    if (outPort) *outPort = 0;
    if (!outPort || !readBlock) return kAudio_ParamError;
    return addPort(client, name, AlsaPorts::Kind::packetInput,
                   std::make_shared<const MIDIReadBlock>(std::move(readBlock)), nullptr, outPort);
}

OSStatus AlsaServer::createOutputPort(MIDIClientRef client, std::string_view name, MIDIPortRef* outPort) {
    std::lock_guard lock(mutex_);
    if (!outPort) return kAudio_ParamError;
    *outPort = 0;
    return addPort(client, name, AlsaPorts::Kind::output, nullptr, nullptr, outPort);
}

OSStatus AlsaServer::connectSource(MIDIPortRef portRef, MIDIEndpointRef sourceRef, void* connRefCon) {
    std::lock_guard lock(mutex_);
    auto* port = ports_.findPort(portRef);
    if (!port || port->kind == AlsaPorts::Kind::output) return kMIDIInvalidPort;
    auto* source = endpoints_.find(sourceRef);
    if (!source) return kMIDIUnknownEndpoint;
    if (!source->isSource) return kMIDIWrongEndpointType;
    if (auto* connection = port->connectionTo(sourceRef)) {
        connection->refCon = connRefCon; // connecting twice delivers once
        return noErr;
    }
    if (int err = sequencer_->connectFrom(port->alsaPort, source->client, source->port); err < 0)
        return statusOf(err);
    port->connections.push_back({sourceRef, connRefCon, queue_->makeTarget()});
    return noErr;
}

OSStatus AlsaServer::disconnectSource(MIDIPortRef portRef, MIDIEndpointRef sourceRef) {
    DeliveryQueue::TargetPtr target;
    {
        std::lock_guard lock(mutex_);
        auto* port = ports_.findPort(portRef);
        if (!port || port->kind == AlsaPorts::Kind::output) return kMIDIInvalidPort;
        auto* connection = port->connectionTo(sourceRef);
        if (!connection) return kMIDINoConnection;
        target = connection->target;
        if (auto* source = endpoints_.find(sourceRef))
            sequencer_->disconnectFrom(port->alsaPort, source->client, source->port);
        std::erase_if(port->connections, [&](const auto& c) { return c.source == sourceRef; });
    }
    queue_->retire(target);
    return noErr;
}

OSStatus AlsaServer::disposePort(MIDIPortRef portRef) {
    Targets targets;
    {
        std::lock_guard lock(mutex_);
        auto* port = ports_.findPort(portRef);
        if (!port) return kMIDIInvalidPort;
        for (auto& connection : port->connections)
            targets.push_back(connection.target);
        sequencer_->deletePort(port->alsaPort);
        translation_.forgetPort(portRef);
        ports_.erasePort(portRef);
    }
    retire(targets);
    return noErr;
}

// Listing and properties -----------------------------------------------------------------------

ItemCount AlsaServer::numberOfSources() {
    std::lock_guard lock(mutex_);
    return endpoints_.listedCount(true);
}

MIDIEndpointRef AlsaServer::source(ItemCount index) {
    std::lock_guard lock(mutex_);
    return endpoints_.listedAt(true, index);
}

ItemCount AlsaServer::numberOfDestinations() {
    std::lock_guard lock(mutex_);
    return endpoints_.listedCount(false);
}

MIDIEndpointRef AlsaServer::destination(ItemCount index) {
    std::lock_guard lock(mutex_);
    return endpoints_.listedAt(false, index);
}

OSStatus AlsaServer::getIntegerProperty(MIDIObjectRef object, std::string_view property,
                                        std::int32_t* outValue) {
    std::lock_guard lock(mutex_);
    if (!outValue) return kAudio_ParamError;
    *outValue = 0;
    if (auto* endpoint = endpoints_.find(object))
        return AlsaEndpoints::getInteger(*endpoint, property, *outValue);
    if (ports_.findClient(object) || ports_.findPort(object)) return kMIDIUnknownProperty;
    return kMIDIObjectNotFound;
}

OSStatus AlsaServer::getStringProperty(MIDIObjectRef object, std::string_view property,
                                       std::string* outValue) {
    std::lock_guard lock(mutex_);
    if (!outValue) return kAudio_ParamError;
    outValue->clear();
    if (auto* endpoint = endpoints_.find(object)) {
        const OSStatus status = AlsaEndpoints::getString(*endpoint, property, *outValue);
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

OSStatus AlsaServer::setIntegerProperty(MIDIObjectRef object, std::string_view property, std::int32_t value) {
    std::lock_guard lock(mutex_);
    auto* endpoint = endpoints_.find(object);
    if (!endpoint)
        return (ports_.findClient(object) || ports_.findPort(object)) ? kMIDINotPermitted
                                                                      : kMIDIObjectNotFound;
    if (!endpoint->isOwn()) return kMIDINotPermitted; // the device's own
    bool changed = false;
    if (property == kMIDIPropertyUniqueID) {
        const MIDIUniqueID before = endpoint->uniqueID;
        if (OSStatus status = endpoints_.setUniqueID(*endpoint, value)) return status;
        changed = endpoint->uniqueID != before;
    } else if (property == kMIDIPropertyPrivate) {
        const bool hide = value != 0;
        if (hide == endpoint->isPrivate) return noErr;
        endpoint->isPrivate = hide;
        changed = true;
    } else {
        auto [it, inserted] = endpoint->integers.try_emplace(std::string(property), value);
        changed = inserted || it->second != value;
        it->second = value;
    }
    if (changed && (!endpoint->isPrivate || property == kMIDIPropertyPrivate)) {
        notify({kMIDIMsgPropertyChanged, endpoint->ref, endpoint->objectType(), std::string(property)});
        notifySetupChanged();
    }
    return noErr;
}

OSStatus AlsaServer::setStringProperty(MIDIObjectRef object, std::string_view property,
                                       std::string_view value) {
    std::lock_guard lock(mutex_);
    auto* endpoint = endpoints_.find(object);
    if (!endpoint)
        return (ports_.findClient(object) || ports_.findPort(object)) ? kMIDINotPermitted
                                                                      : kMIDIObjectNotFound;
    if (!endpoint->isOwn()) return kMIDINotPermitted;
    if (property == kMIDIPropertyUniqueID || property == kMIDIPropertyPrivate) return kMIDIWrongPropertyType;
    auto [it, inserted] = endpoint->strings.try_emplace(std::string(property), value);
    if (!inserted && it->second == value) return noErr;
    it->second = value;
    if (!endpoint->isPrivate) {
        notify({kMIDIMsgPropertyChanged, endpoint->ref, endpoint->objectType(), std::string(property)});
        notifySetupChanged();
    }
    return noErr;
}

// Sending -------------------------------------------------------------------------------------

namespace {

// The bytes of every packet in order; false when the list is malformed.
bool bytesOf(const MIDIPacketList* list, ByteCount listSize, std::vector<std::uint8_t>& out) {
    PacketListReader reader(list, listSize);
    PacketListReader::Packet packet;
    while (reader.next(packet))
        out.insert(out.end(), packet.data.begin(), packet.data.end());
    return !reader.malformed();
}

} // namespace

OSStatus AlsaServer::send(MIDIPortRef portRef, MIDIEndpointRef destinationRef, const MIDIPacketList* list,
                          ByteCount listSize) {
    AlsaOutput::Route route;
    std::vector<std::uint8_t> bytes;
    {
        std::lock_guard lock(mutex_);
        auto* port = ports_.findPort(portRef);
        if (!port || port->kind != AlsaPorts::Kind::output) return kMIDIInvalidPort;
        auto* destination = endpoints_.find(destinationRef);
        if (!destination) return kMIDIUnknownEndpoint;
        if (destination->isSource) return kMIDIWrongEndpointType;
        if (!bytesOf(list, listSize, bytes)) return kAudio_ParamError;
        route = {port->alsaPort, destination->client, destination->port, false, destination->kernelClient};
    }
    // Outside the table lock: an upload to a MIDI cable takes seconds.
    return bytes.empty() ? noErr : output_.send(route, bytes);
}

OSStatus AlsaServer::received(MIDIEndpointRef sourceRef, const MIDIPacketList* list, ByteCount listSize) {
    AlsaOutput::Route route;
    std::vector<std::uint8_t> bytes;
    {
        std::lock_guard lock(mutex_);
        auto* source = endpoints_.find(sourceRef);
        if (!source) return kMIDIUnknownEndpoint;
        if (!source->isSource) return kMIDIWrongEndpointType;
        if (!source->isOwn()) return kMIDINotPermitted;
        if (!bytesOf(list, listSize, bytes)) return kAudio_ParamError;
        route = {source->port, 0, 0, true, false};
    }
    if (bytes.empty()) return noErr;
    // Someone may have connected our source to a MIDI cable.
    route.kernel = sequencer_->hasKernelSubscriber(route.sourcePort);
    return output_.send(route, bytes);
}

// Endpoints -----------------------------------------------------------------------------------

OSStatus AlsaServer::addEndpoint(MIDIClientRef client, std::string_view name, bool isSource,
                                 std::shared_ptr<const MIDIReadBlock> readBlock, MIDIEndpointRef* outRef) {
    if (!ports_.findClient(client)) return kMIDIInvalidClient;
    AlsaEndpoints::Endpoint endpoint;
    endpoint.ref = makeHandle();
    if (endpoint.ref == 0) return kMIDIServerStartErr;
    const unsigned caps = isSource ? SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ
                                   : SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
    endpoint.port = sequencer_->createPort(name, caps, kPortType);
    if (endpoint.port < 0) return kMIDIServerStartErr;
    endpoint.isSource = isSource;
    endpoint.client = ownClient_;
    endpoint.owner = client;
    endpoint.clientName = clientName_;
    endpoint.portName = name;
    endpoint.strings.emplace(kMIDIPropertyName, name);
    if (!isSource) {
        endpoint.readBlock = std::move(readBlock);
        endpoint.target = queue_->makeTarget();
    }
    const MIDIEndpointRef ref = endpoint.ref;
    const MIDIObjectType type = endpoint.objectType();
    if (OSStatus status = endpoints_.insertOwn(std::move(endpoint))) return status;
    *outRef = ref;
    notify({kMIDIMsgObjectAdded, ref, type, {}});
    notifySetupChanged();
    return noErr;
}

AlsaServer::Targets AlsaServer::removeOwnEndpoint(AlsaEndpoints::Endpoint& endpoint) {
    Targets targets;
    if (endpoint.isSource) {
        targets = ports_.dropConnectionsTo(endpoint.ref);
        translation_.forgetSource(endpoint.ref);
        output_.forget(-1, endpoint.port);
    } else {
        targets.push_back(endpoint.target);
    }
    sequencer_->deletePort(endpoint.port);
    const AlsaEndpoints::Change change{kMIDIMsgObjectRemoved, endpoint.ref, endpoint.objectType(), {}};
    if (!endpoint.isPrivate) {
        notify(change);
        notifySetupChanged();
    }
    endpoints_.erase(endpoint.ref);
    return targets;
}

OSStatus AlsaServer::createDestination(MIDIClientRef client, std::string_view name, MIDIReadBlock readBlock,
                                       MIDIEndpointRef* outDestination) {
    std::lock_guard lock(mutex_);
    if (outDestination) *outDestination = 0;
    if (!ports_.findClient(client)) return kMIDIInvalidClient;
    if (!outDestination || !readBlock) return kAudio_ParamError;
    return addEndpoint(client, name, false, std::make_shared<const MIDIReadBlock>(std::move(readBlock)),
                       outDestination);
}

OSStatus AlsaServer::createSource(MIDIClientRef client, std::string_view name, MIDIEndpointRef* outSource) {
    std::lock_guard lock(mutex_);
    if (outSource) *outSource = 0;
    if (!ports_.findClient(client)) return kMIDIInvalidClient;
    if (!outSource) return kAudio_ParamError;
    return addEndpoint(client, name, true, nullptr, outSource);
}

OSStatus AlsaServer::disposeEndpoint(MIDIEndpointRef ref) {
    Targets targets;
    {
        std::lock_guard lock(mutex_);
        auto* endpoint = endpoints_.find(ref);
        if (!endpoint) return kMIDIUnknownEndpoint;
        if (!endpoint->isOwn()) return kMIDINotPermitted;
        targets = removeOwnEndpoint(*endpoint);
    }
    retire(targets);
    return noErr;
}

// Input ---------------------------------------------------------------------------------------

void AlsaServer::poll() {
    while (!stopping_) {
        sequencer_->waitForInput(config_.pollTimeout);
        while (!stopping_) {
            polling_ = true;
            snd_seq_event_t* event = nullptr;
            const int result = sequencer_->input(&event);
            if (result == -EAGAIN) break;
            if (result == -ENOSPC) {
                lostInput();
                continue;
            }
            if (result < 0) {
                log(LogLevel::error, std::string("MIDI input failed: ") + snd_strerror(result));
                break;
            }
            if (event) handle(*event, clock_.now());
        }
        {
            std::lock_guard lock(pollMutex_);
            polling_ = false;
        }
        pollDone_.notify_all();
    }
    std::lock_guard lock(pollMutex_);
    polling_ = false;
    pollRunning_ = false;
    pollDone_.notify_all();
}

void AlsaServer::lostInput() {
    log(LogLevel::error, "MIDI input overran: events were lost; a SysEx in progress is dropped");
    std::lock_guard lock(mutex_);
    translation_.forgetAll();
    // Announcements may have been among them.
    retire(apply(endpoints_.sync(sequencer_->listPorts(), ownClient_, [this] { return makeHandle(); })));
}

void AlsaServer::refreshListing() {
    Targets targets;
    {
        std::lock_guard lock(mutex_);
        targets =
            apply(endpoints_.sync(sequencer_->listPorts(), ownClient_, [this] { return makeHandle(); }));
    }
    retire(targets);
}

void AlsaServer::handleAnnouncement(const snd_seq_event_t& event) {
    const snd_seq_addr_t address = event.data.addr;
    // Our own ports: the virtual ones were announced when made, the others are never listed.
    if (address.client == ownClient_) return;
    Targets targets;
    {
        std::lock_guard lock(mutex_);
        std::vector<AlsaEndpoints::Change> changes;
        if (event.type == SND_SEQ_EVENT_CLIENT_EXIT) changes = endpoints_.removeAt(address.client, -1);
        if (event.type == SND_SEQ_EVENT_PORT_EXIT)
            changes = endpoints_.removeAt(address.client, address.port);
        if (event.type == SND_SEQ_EVENT_CLIENT_EXIT || event.type == SND_SEQ_EVENT_PORT_EXIT)
            for (int port : {-1, static_cast<int>(address.port)})
                output_.forget(address.client, port);
        auto more = endpoints_.sync(sequencer_->listPorts(), ownClient_, [this] { return makeHandle(); });
        changes.insert(changes.end(), more.begin(), more.end());
        targets = apply(changes);
    }
    retire(targets);
}

void AlsaServer::handle(const snd_seq_event_t& event, MIDITimeStamp now) {
    if (isAnnouncement(event)) {
        handleAnnouncement(event);
        return;
    }
    std::lock_guard lock(mutex_);
    bytes_.clear();
    translation_.decode(event, bytes_);
    if (bytes_.empty()) return;
    const auto* source = endpoints_.findAt(event.source.client, event.source.port, true);
    if (auto* port = ports_.findByAlsaPort(event.dest.port); port && port->kind != AlsaPorts::Kind::output) {
        if (!source) return;
        const auto* connection = port->connectionTo(source->ref);
        if (!connection) return; // arrived after the disconnect
        if (port->kind == AlsaPorts::Kind::eventInput) {
            words_.clear();
            translation_.toWords(port->ref, source->ref, bytes_, words_, event.type == SND_SEQ_EVENT_SYSEX);
            auto list = std::make_shared<EventListBuilder>(kMIDIProtocol_1_0);
            list->addMessages(now, words_);
            if (list->count() == 0) return;
            queue_->post(connection->target, [block = port->receiveBlock, list, refCon = connection->refCon] {
                (*block)(list->list(), list->size(), refCon);
            });
            return;
        }
        auto list = std::make_shared<PacketListBuilder>();
        list->addSplit(now, bytes_);
        queue_->post(connection->target, [block = port->readBlock, list, refCon = connection->refCon] {
            (*block)(list->list(), list->size(), refCon);
        });
        return;
    }
    // Data for one of our virtual destinations, from whoever sent it.
    auto* endpoint = endpoints_.findAt(ownClient_, event.dest.port, false);
    if (!endpoint || !endpoint->readBlock) return;
    auto list = std::make_shared<PacketListBuilder>();
    list->addSplit(now, bytes_);
    queue_->post(endpoint->target,
                 [block = endpoint->readBlock, list] { (*block)(list->list(), list->size(), nullptr); });
}

// Delivery ------------------------------------------------------------------------------------

std::size_t AlsaServer::runPending(std::size_t maxCount) {
    return queue_->runPending(maxCount);
}

bool AlsaServer::waitUntilIdle(std::chrono::nanoseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    {
        std::unique_lock lock(pollMutex_);
        if (!pollDone_.wait_until(lock, deadline, [&] { return !polling_; })) return false;
    }
    if (queue_->isManual()) return true;
    const auto left = deadline - std::chrono::steady_clock::now();
    return left > decltype(left)::zero() && queue_->waitUntilIdle(left);
}

} // namespace platform::midi
