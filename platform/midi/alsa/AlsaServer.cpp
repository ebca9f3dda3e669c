// The MIDI server over the ALSA sequencer: tables under one lock, reads on the polling job,
// deliveries through the delivery queue, writes through AlsaOutput.
#include "platform/midi/alsa/AlsaServer.h"

#include "platform/core/LogSink.h"
#include "platform/midi/PacketListReader.h"
#include "platform/midi/alsa/AlsaLibSequencer.h"

#include <algorithm>
#include <cerrno>
#include <tuple>

namespace platform::midi {

namespace {

constexpr unsigned kPortType = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION;

void log(LogLevel level, const std::string& text) {
    LogSink::emit({"io.sonabel.platform", "midi", level, text});
}

OSStatus statusOf(int alsaError) {
    return alsaError == -ENOENT || alsaError == -ENXIO ? kMIDIUnknownEndpoint : kMIDIServerStartErr;
}

// Listed endpoints have handles from 0x1000 up; an unlisted sender is this bit and its address.
constexpr std::uint32_t kUnlistedSender = 0x80000000u;

std::uint32_t addressOf(const snd_seq_addr_t& address) {
    return (std::uint32_t{address.client} << 8) | address.port;
}

std::uint32_t unlistedSender(int client, int port) {
    return kUnlistedSender | (static_cast<std::uint32_t>(client & 0xFF) << 8) |
           static_cast<std::uint32_t>(port & 0xFF);
}

std::string addressText(const snd_seq_addr_t& address) {
    return std::to_string(address.client) + ":" + std::to_string(address.port);
}

// Who sent an event, as the framing keys and names it: a sender we do not list (one that cannot be
// read from) is known by its address.
struct Sender {
    std::uint32_t id;
    std::string name;
};

Sender senderOf(const AlsaEndpoint* source, const snd_seq_addr_t& address) {
    Sender sender{source ? source->ref : kUnlistedSender | addressOf(address), addressText(address)};
    if (source) source->getString(kMIDIPropertyName, sender.name);
    return sender;
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
    : TableServer(AlsaEndpoints{}, config.firstHandle,
                  config.manualDelivery ? nullptr : (config.jobs ? config.jobs : &BackgroundJobs::shared())),
      config_(config), clock_(config.clock ? *config.clock : HostClock::system()),
      sequencer_(std::move(sequencer)), ownClient_(sequencer_->clientID()), output_(*sequencer_, config_) {
    BackgroundJobs& jobs = config.jobs ? *config.jobs : BackgroundJobs::shared();
    {
        std::lock_guard lock(mutex_);
        apply(syncAll());
    }
    pollRunning_ = true;
    jobs.run([this] { poll(); });
}

AlsaServer::~AlsaServer() {
    stop();
}

void AlsaServer::stop() {
    stopping_ = true;
    output_.stop();
    sequencer_->wake();
    {
        std::unique_lock lock(pollMutex_);
        pollDone_.notify_all();
        pollDone_.wait(lock, [&] { return !pollRunning_; });
    }
    queue_->stop();
}

// Notifications -------------------------------------------------------------------------------

void AlsaServer::notify(const AlsaEndpoints::Change& change) {
    if (change.messageID == kMIDIMsgPropertyChanged)
        postPropertyChanged(change.ref, change.type, change.property);
    else
        postAddedOrRemoved(change.messageID, change.ref, change.type);
}

AlsaServer::Targets AlsaServer::apply(const std::vector<AlsaEndpoints::Change>& changes) {
    Targets targets;
    for (const auto& change : changes) {
        if (change.messageID == kMIDIMsgObjectRemoved && change.type == kMIDIObjectType_Source) {
            auto dropped = ports_.dropConnectionsTo(change.ref);
            targets.insert(targets.end(), dropped.begin(), dropped.end());
            // A port that is still there sends on, known by its address: what it left
            // unfinished toward a destination of ours goes on. Our ports heard it only through
            // the connections that end here.
            if (change.port >= 0)
                translation_.rekeySender(
                    change.ref, unlistedSender(change.client, change.port),
                    [&](MIDIObjectRef receiver) { return endpoints_.find(receiver) != nullptr; });
            translation_.forgetSender(change.ref);
            subscriptions_.erase(change.ref); // the kernel ended it with the port
        }
        // A sender known by its address until now: an unfinished SysEx of its goes on.
        if (change.messageID == kMIDIMsgObjectAdded && change.type == kMIDIObjectType_Source)
            if (const auto* source = endpoints_.find(change.ref))
                translation_.rekeySender(unlistedSender(source->client, source->port), change.ref);
        notify(change);
    }
    if (!changes.empty()) notifySetupChanged();
    return targets;
}

// Clients, ports and properties ---------------------------------------------------------------

void AlsaServer::clientCreated(std::string_view name) {
    if (clientName_.empty() && !name.empty()) {
        // One handle for the process: its first client names it.
        clientName_ = name;
        sequencer_->setClientName(name);
    }
}

OSStatus AlsaServer::openPort(ClientPortTable::Port& port) {
    if (port.kind != ClientPortTable::Kind::output) return noErr; // they hear through inputPort_
    port.backendPort =
        sequencer_->createPort(port.name, SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_NO_EXPORT, kPortType);
    return port.backendPort < 0 ? kMIDIServerStartErr : noErr;
}

void AlsaServer::closePort(const ClientPortTable::Port& port) {
    if (port.kind == ClientPortTable::Kind::output) {
        sequencer_->deletePort(port.backendPort);
        output_.forgetSender(port.backendPort);
    }
    for (const auto& connection : port.connections)
        release(port.ref, connection.source);
    translation_.forgetReceiver(port.ref);
}

OSStatus AlsaServer::connecting(const ClientPortTable::Port& port, const Endpoint& source) {
    auto& subscription = subscriptions_[source.ref];
    if (!subscription.live) {
        int err = inputPort_;
        if (err < 0) {
            err =
                sequencer_->createPort("In", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT, kPortType);
            if (err >= 0) inputPort_ = err;
        }
        if (err >= 0) err = sequencer_->connectFrom(inputPort_, source.client, source.port);
        // Busy: the kernel still holds it, and the end it announced was of an earlier one.
        if (err < 0 && err != -EBUSY) {
            if (subscription.ports.empty()) subscriptions_.erase(source.ref);
            return statusOf(err);
        }
        subscription.live = true;
    }
    if (std::find(subscription.ports.begin(), subscription.ports.end(), port.ref) == subscription.ports.end())
        subscription.ports.push_back(port.ref);
    return noErr;
}

void AlsaServer::release(MIDIPortRef port, MIDIEndpointRef sourceRef) {
    auto it = subscriptions_.find(sourceRef);
    if (it == subscriptions_.end()) return;
    std::erase(it->second.ports, port);
    if (!it->second.ports.empty()) return;
    if (auto* source = endpoints_.find(sourceRef))
        sequencer_->disconnectFrom(inputPort_, source->client, source->port);
    subscriptions_.erase(it);
}

void AlsaServer::disconnecting(const ClientPortTable::Port& port, MIDIEndpointRef sourceRef) {
    auto* source = endpoints_.find(sourceRef);
    if (!source) return;
    release(port.ref, sourceRef);
    // A later connection starts clean: its first bytes never complete a SysEx begun before.
    const snd_seq_addr_t address{static_cast<unsigned char>(source->client),
                                 static_cast<unsigned char>(source->port)};
    translation_.endPair(port.ref, sourceRef, senderOf(source, address).name);
}

OSStatus AlsaServer::setString(Endpoint& endpoint, std::string_view property, std::string_view value) {
    if (property == kMIDIPropertyUniqueID || property == kMIDIPropertyPrivate) return kMIDIWrongPropertyType;
    // A private endpoint changes unheard.
    if (endpoint.setString(property, value) && !endpoint.isPrivate) {
        postPropertyChanged(endpoint.ref, endpoint.objectType(), property);
        notifySetupChanged();
    }
    return noErr;
}

// Sending -------------------------------------------------------------------------------------

namespace {

// The bytes of every packet in order, and the first one's stamp; false when the list is malformed.
bool bytesOf(const MIDIPacketList* list, ByteCount listSize, std::vector<std::uint8_t>& out,
             MIDITimeStamp& at) {
    PacketListReader reader(list, listSize);
    PacketListReader::Packet packet;
    for (bool first = true; reader.next(packet); first = false) {
        if (first) at = packet.timeStamp;
        out.insert(out.end(), packet.data.begin(), packet.data.end());
    }
    return !reader.malformed();
}

} // namespace

OSStatus AlsaServer::send(MIDIPortRef portRef, MIDIEndpointRef destinationRef, const MIDIPacketList* list,
                          ByteCount listSize) {
    return sendReporting(portRef, destinationRef, list, listSize, nullptr);
}

OSStatus AlsaServer::received(MIDIEndpointRef sourceRef, const MIDIPacketList* list, ByteCount listSize) {
    return receivedReporting(sourceRef, list, listSize, nullptr);
}

OSStatus AlsaServer::sendReporting(MIDIPortRef portRef, MIDIEndpointRef destinationRef,
                                   const MIDIPacketList* list, ByteCount listSize, SendFailure* failure) {
    AlsaOutput::Route route;
    std::vector<std::uint8_t> bytes;
    MIDITimeStamp at = 0;
    {
        std::lock_guard lock(mutex_);
        auto* port = ports_.findPort(portRef);
        if (!port || port->kind != ClientPortTable::Kind::output) return kMIDIInvalidPort;
        auto* destination = endpoints_.find(destinationRef);
        if (!destination) return kMIDIUnknownEndpoint;
        if (destination->isSource) return kMIDIWrongEndpointType;
        if (!bytesOf(list, listSize, bytes, at)) return kAudio_ParamError;
        route = {port->backendPort, destination->client, destination->port, false, destination->kernelClient};
    }
    // Outside the table lock: an upload to a MIDI cable takes seconds.
    return bytes.empty() ? noErr : output_.send(route, bytes, at, failure);
}

OSStatus AlsaServer::receivedReporting(MIDIEndpointRef sourceRef, const MIDIPacketList* list,
                                       ByteCount listSize, SendFailure* failure) {
    AlsaOutput::Route route;
    std::vector<std::uint8_t> bytes;
    MIDITimeStamp at = 0;
    {
        std::lock_guard lock(mutex_);
        auto* source = endpoints_.find(sourceRef);
        if (!source) return kMIDIUnknownEndpoint;
        if (!source->isSource) return kMIDIWrongEndpointType;
        if (!source->isOwn()) return kMIDINotPermitted;
        if (!bytesOf(list, listSize, bytes, at)) return kAudio_ParamError;
        route = {source->port, 0, 0, true, false};
    }
    return bytes.empty() ? noErr : output_.send(route, bytes, at, failure);
}

// Endpoints -----------------------------------------------------------------------------------

OSStatus AlsaServer::addOwnEndpoint(MIDIClientRef client, std::string_view name, bool isSource,
                                    std::shared_ptr<const MIDIReadBlock> readBlock, MIDIEndpointRef* outRef) {
    Endpoint endpoint;
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
    postAddedOrRemoved(kMIDIMsgObjectAdded, ref, type);
    notifySetupChanged();
    return noErr;
}

AlsaServer::Targets AlsaServer::removeOwnEndpoint(Endpoint& endpoint) {
    Targets targets;
    if (endpoint.isSource) {
        targets = ports_.dropConnectionsTo(endpoint.ref);
        translation_.forgetSender(endpoint.ref);
        subscriptions_.erase(endpoint.ref); // deleting the port ends it
        output_.forgetSender(endpoint.port);
    } else {
        targets.push_back(endpoint.target);
        translation_.forgetReceiver(endpoint.ref);
    }
    sequencer_->deletePort(endpoint.port);
    if (!endpoint.isPrivate) {
        postAddedOrRemoved(kMIDIMsgObjectRemoved, endpoint.ref, endpoint.objectType());
        notifySetupChanged();
    }
    endpoints_.erase(endpoint.ref);
    return targets;
}

// Input ---------------------------------------------------------------------------------------

void AlsaServer::poll() {
    // Whatever fills the kernel's input pool is refused, and counted as lost: nothing here waits
    // for a delivery, and what was read is handed to the delivery thread together, in slices: one
    // read may bring the whole pool, and the delivery thread starts on the first slice while the
    // rest is handled here.
    constexpr unsigned kSlice = 64;
    unsigned handled = 0;
    bool failing = false; // told the log, and no event read since
    while (!stopping_) {
        sequencer_->waitForInput(config_.pollTimeout);
        bool pause = false;
        while (!stopping_) {
            polling_ = true;
            snd_seq_event_t* event = nullptr;
            const int result = sequencer_->input(&event);
            if (result == -EAGAIN) break;
            if (result < 0 && result != -ENOSPC) {
                // The sequencer stays readable while it fails: said once, and read again after
                // a pause, not at once.
                if (!failing) log(LogLevel::error, std::string("MIDI input failed: ") + snd_strerror(result));
                failing = pause = true;
                break;
            }
            failing = false;
            if (result == -ENOSPC) {
                queueBatch();
                lostInput();
            } else if (event) {
                handle(*event, clock_.now());
            }
            // More may be on its way: rather than wait for the delivery thread, read on.
            if (++handled % kSlice == 0 || sequencer_->inputPending() <= 0) queueBatch(false);
        }
        queueBatch();
        {
            std::lock_guard lock(pollMutex_);
            polling_ = false;
        }
        pollDone_.notify_all();
        if (pause) {
            std::unique_lock lock(pollMutex_);
            pollDone_.wait_for(lock, config_.pollTimeout, [&] { return stopping_.load(); });
        }
    }
    std::lock_guard lock(pollMutex_);
    polling_ = false;
    pollRunning_ = false;
    pollDone_.notify_all();
}

void AlsaServer::queueBatch(bool mayWait) {
    if (!batch_.empty()) batch_.queue(*queue_, mayWait);
}

void AlsaServer::drop(const Targets& targets) {
    for (const auto& target : targets)
        queue_->drop(target);
}

void AlsaServer::lostInput() {
    log(LogLevel::error, "MIDI input overran: events were lost; every unfinished SysEx is dropped");
    output_.forgetSubscriptions();
    std::lock_guard lock(mutex_);
    translation_.forgetAll();
    listedAhead_.clear();
    // Announcements may have been among them: a destination that is another one now (by its names),
    // unheard, gets none of what was sent to the one before.
    const auto listing = sequencer_->listPorts();
    const auto identity = [&](const AlsaPortInfo& info) {
        const auto* destination = endpoints_.findAt(info.client, info.port, false);
        return destination ? std::tuple(destination->ref, destination->clientName, destination->portName)
                           : std::tuple(MIDIEndpointRef{0}, std::string(), std::string());
    };
    std::vector<decltype(identity(listing.front()))> before;
    for (const auto& info : listing)
        before.push_back(identity(info));
    drop(apply(syncAll(listing)));
    for (std::size_t i = 0; i < listing.size(); ++i)
        if (identity(listing[i]) != before[i]) output_.forget(listing[i].client, listing[i].port);
}

std::vector<AlsaEndpoints::Change> AlsaServer::syncAll() { return syncAll(sequencer_->listPorts()); }

std::vector<AlsaEndpoints::Change> AlsaServer::syncAll(const std::vector<AlsaPortInfo>& listing) {
    for (const auto& info : listing)
        started_.insert({info.client, info.port});
    return endpoints_.sync(listing, ownClient_, [this] { return makeHandle(); });
}

void AlsaServer::refreshListing() {
    Targets targets;
    {
        std::lock_guard lock(mutex_);
        targets = apply(syncAll());
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
        // A port that starts where we sent before is another one, though its exit went unheard;
        // so is a sender we know by its address only.
        const bool wholeClient =
            event.type == SND_SEQ_EVENT_CLIENT_EXIT || event.type == SND_SEQ_EVENT_CLIENT_START;
        const bool knownAhead =
            event.type == SND_SEQ_EVENT_PORT_START && listedAhead_.erase({address.client, address.port}) > 0;
        if (!knownAhead && (wholeClient || event.type == SND_SEQ_EVENT_PORT_EXIT ||
                            event.type == SND_SEQ_EVENT_PORT_START)) {
            output_.forget(address.client, wholeClient ? -1 : address.port);
            const std::uint32_t unlisted = unlistedSender(address.client, address.port);
            translation_.endSenders(
                [&](std::uint32_t sender) {
                    return (sender & kUnlistedSender) &&
                           (wholeClient ? (sender & ~0xFFu) == (unlisted & ~0xFFu) : sender == unlisted);
                },
                [](std::uint32_t sender) {
                    return std::to_string((sender >> 8) & 0xFF) + ":" + std::to_string(sender & 0xFF);
                });
        }
        if (event.type == SND_SEQ_EVENT_PORT_START || event.type == SND_SEQ_EVENT_PORT_CHANGE)
            started_.insert({address.client, address.port});
        if (event.type == SND_SEQ_EVENT_PORT_EXIT) {
            started_.erase({address.client, address.port});
            listedAhead_.erase({address.client, address.port});
        }
        if (wholeClient) {
            const auto ofClient = [&](const auto& at) { return at.first == address.client; };
            if (event.type == SND_SEQ_EVENT_CLIENT_EXIT) std::erase_if(started_, ofClient);
            std::erase_if(listedAhead_, ofClient);
        }
        const auto listing = sequencer_->listPorts();
        // Its old ports' exits are behind us: what the client lists now is its own.
        if (event.type == SND_SEQ_EVENT_CLIENT_START)
            for (const auto& info : listing)
                if (info.client == address.client) {
                    started_.insert({info.client, info.port});
                    listedAhead_.insert({info.client, info.port});
                }
        auto more = endpoints_.sync(
            listing, ownClient_, [this] { return makeHandle(); },
            [this](int client, int port) {
                return started_.contains({client, port});
            });
        changes.insert(changes.end(), more.begin(), more.end());
        targets = apply(changes);
    }
    drop(targets);
}

void AlsaServer::handle(const snd_seq_event_t& event, MIDITimeStamp now) {
    if (isAnnouncement(event)) {
        queueBatch(); // its notifications go to the queue directly: what came before goes first
        handleAnnouncement(event);
        return;
    }
    std::lock_guard lock(mutex_);
    if (event.type == SND_SEQ_EVENT_PORT_UNSUBSCRIBED && event.source.client == SND_SEQ_CLIENT_SYSTEM) {
        unsubscribed(event.data.connect);
        return;
    }
    bytes_.clear();
    translation_.decode(event, bytes_);
    if (bytes_.empty()) return;
    const auto* source = endpoints_.findAt(event.source.client, event.source.port, true);
    const auto [sender, senderName] = senderOf(source, event.source);
    if (event.dest.port == inputPort_) {
        if (!source) return;
        auto it = subscriptions_.find(source->ref);
        if (it == subscriptions_.end()) return; // arrived after the last disconnect
        for (MIDIPortRef ref : it->second.ports) {
            auto* port = ports_.findPort(ref);
            if (const auto* connection = port ? port->connectionTo(source->ref) : nullptr)
                deliver(*port, *connection, event, sender, senderName, now);
        }
        return;
    }
    // Data for one of our virtual destinations, from whoever sent it.
    auto* endpoint = endpoints_.findAt(ownClient_, event.dest.port, false);
    if (!endpoint || !endpoint->readBlock) return;
    message_.clear();
    translation_.frame(endpoint->ref, sender, senderName, event, bytes_, message_);
    if (message_.empty()) return;
    batch_.packets(endpoint->target, endpoint->readBlock, nullptr).addSplit(now, message_);
}

void AlsaServer::deliver(const ClientPortTable::Port& port, const ClientPortTable::Connection& connection,
                         const snd_seq_event_t& event, std::uint32_t sender, std::string_view senderName,
                         MIDITimeStamp now) {
    message_.clear();
    translation_.frame(port.ref, sender, senderName, event, bytes_, message_);
    if (message_.empty()) return;
    if (port.kind == ClientPortTable::Kind::eventInput) {
        words_.clear();
        translation_.toWords(message_, words_);
        batch_.events(connection.target, port.receiveBlock, connection.refCon).addMessages(now, words_);
        return;
    }
    batch_.packets(connection.target, port.readBlock, connection.refCon).addSplit(now, message_);
}

void AlsaServer::unsubscribed(const snd_seq_connect_t& connection) {
    // One of our ports' subscriptions to a destination: made again before the next send there.
    if (connection.sender.client == ownClient_ && connection.dest.client != ownClient_)
        output_.forgetSubscription(connection.sender.port, connection.dest.client, connection.dest.port);
    if (connection.dest.client != ownClient_) return;
    const auto sender = senderOf(endpoints_.findAt(connection.sender.client, connection.sender.port, true),
                                 connection.sender);
    // Ours, ended by the source's client or its going: every port connected to it stops hearing.
    // (The end of one we ended comes after its entry went, or names an earlier one.)
    if (connection.dest.port == inputPort_) {
        auto it = subscriptions_.find(sender.id);
        if (it == subscriptions_.end()) return;
        it->second.live = false;
        for (MIDIPortRef port : it->second.ports)
            translation_.endPair(port, sender.id, sender.name);
        resubscribe(it->first, it->second, sender.name);
        return;
    }
    // A virtual destination's, ended by whoever subscribed it.
    const auto* endpoint = endpoints_.findAt(ownClient_, connection.dest.port, false);
    if (!endpoint || !endpoint->readBlock) return;
    translation_.endPair(endpoint->ref, sender.id, sender.name);
}

void AlsaServer::resubscribe(MIDIEndpointRef sourceRef, Subscription& subscription, std::string_view name) {
    const auto* source = endpoints_.find(sourceRef);
    if (!source) return;
    // Ended while the source is still there: made again, so that the ports connected to it hear
    // on. A source that is going refuses, and its exit follows.
    const int err = sequencer_->connectFrom(inputPort_, source->client, source->port);
    if (err >= 0 || err == -EBUSY) {
        subscription.live = true;
        return;
    }
    const auto listing = sequencer_->listPorts();
    const bool lives = std::any_of(listing.begin(), listing.end(), [&](const AlsaPortInfo& info) {
        return info.client == source->client && info.port == source->port;
    });
    if (!lives) return;
    log(LogLevel::error,
        "MIDI input from " + std::string(name) +
            " stopped: our subscription was ended and cannot be made again: " + snd_strerror(err));
    notifyAll([ref = sourceRef, status = statusOf(err)](const MIDINotifyBlock& block) {
        const MIDIIOErrorNotification record{kMIDIMsgIOError, sizeof(MIDIIOErrorNotification), ref, status};
        block(reinterpret_cast<const MIDINotification*>(&record));
    });
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
