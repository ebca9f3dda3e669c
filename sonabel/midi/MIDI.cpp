// The MIDI object: client, notifications, registries, endpoint listing and the shared instance.
#include "sonabel/midi/MIDI.h"

#include "platform/midi/MIDIServices.h"
#include "sonabel/internals/error_handling/Log.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace sonabel {

MIDI::MIDI(Token, MIDIConfig config)
    : server_(config.server ? std::move(config.server) : currentMIDIServer()),
      universalPacketInput_(config.universalPacketInput),
      listeners_(std::make_shared<const std::vector<Listener>>()),
      transformers_(std::make_shared<const std::vector<Transformer>>()) {}

std::shared_ptr<MIDI> MIDI::make(MIDIConfig config) {
    auto midi = std::make_shared<MIDI>(Token{}, std::move(config));
    Log({"init()", OSLog::midi, OSLogType::info}, "Initializing MIDI");
    midi->createClient();
    return midi;
}

void MIDI::createClient() {
    std::weak_ptr<MIDI> weak = weak_from_this();
    const OSStatus status = server_->createClient(
        clientName(),
        [weak](const MIDINotification* message) {
            if (auto self = weak.lock()) self->handleNotification(message);
        },
        &client_);
    if (status != noErr)
        Log({"init()", OSLog::midi, OSLogType::error},
            "Error creating MIDI client: " + std::to_string(status));
}

MIDI::~MIDI() {
    // Takes the ports and virtual endpoints with it; a delivery in flight is awaited by the server
    // unless this runs on the delivery thread (the last reference dropped by a block).
    if (client_ != 0) server_->disposeClient(client_);
}

// Fields --------------------------------------------------------------------------------------

std::string MIDI::outputPortName() const {
    std::lock_guard lock(mutex_);
    return outputPortName_;
}

void MIDI::setOutputPortName(std::string name) {
    std::lock_guard lock(mutex_);
    outputPortName_ = std::move(name);
}

std::map<MIDIUniqueID, MIDIPortRef> MIDI::inputPorts() const {
    std::lock_guard lock(mutex_);
    std::map<MIDIUniqueID, MIDIPortRef> ports;
    for (const auto& [uid, entry] : inputs_)
        ports.emplace(uid, entry.port);
    return ports;
}

std::map<MIDIUniqueID, MIDIEndpointRef> MIDI::endpoints() const {
    std::lock_guard lock(mutex_);
    std::map<MIDIUniqueID, MIDIEndpointRef> table;
    for (const auto& [uid, entry] : endpoints_)
        table.emplace(uid, entry.ref);
    return table;
}

MIDIPortRef MIDI::outputPort() const {
    std::lock_guard lock(mutex_);
    return outputPort_;
}

std::vector<MIDIEndpointRef> MIDI::virtualInputs() const {
    std::lock_guard lock(mutex_);
    return virtualInputs_;
}

std::vector<MIDIEndpointRef> MIDI::virtualOutputs() const {
    std::lock_guard lock(mutex_);
    return virtualOutputs_;
}

std::vector<MIDI::Listener> MIDI::listeners() const {
    return *listenerSnapshot();
}

std::vector<MIDI::Transformer> MIDI::transformers() const {
    std::lock_guard lock(registryMutex_);
    return *transformers_;
}

std::shared_ptr<const std::vector<MIDI::Listener>> MIDI::listenerSnapshot() const {
    std::lock_guard lock(registryMutex_);
    return listeners_;
}

const std::vector<MIDI::Listener>& MIDI::ListenerSnapshots::current() {
    // The version is bumped under the lock with every change, so an unchanged one means the
    // snapshot in hand is still the registry's.
    if (!snapshot_ || midi_.registryVersion_.load(std::memory_order_acquire) != version_) {
        std::lock_guard lock(midi_.registryMutex_);
        snapshot_ = midi_.listeners_;
        version_ = midi_.registryVersion_.load(std::memory_order_relaxed);
    }
    return *snapshot_;
}

// Registries ----------------------------------------------------------------------------------

namespace {

template <class T>
void appendTo(std::mutex& mutex, std::atomic<std::uint64_t>& version,
              std::shared_ptr<const std::vector<T>>& list, T entry) {
    std::lock_guard lock(mutex);
    version.fetch_add(1, std::memory_order_release);
    auto copy = std::make_shared<std::vector<T>>(*list);
    copy->push_back(std::move(entry));
    list = std::move(copy);
}

template <class T>
void removeFrom(std::mutex& mutex, std::atomic<std::uint64_t>& version,
                std::shared_ptr<const std::vector<T>>& list, const T& entry) {
    std::lock_guard lock(mutex);
    version.fetch_add(1, std::memory_order_release);
    auto copy = std::make_shared<std::vector<T>>(*list);
    std::erase(*copy, entry);
    list = std::move(copy);
}

template <class T>
void clear(std::mutex& mutex, std::atomic<std::uint64_t>& version,
           std::shared_ptr<const std::vector<T>>& list) {
    std::lock_guard lock(mutex);
    version.fetch_add(1, std::memory_order_release);
    list = std::make_shared<const std::vector<T>>();
}

} // namespace

void MIDI::addListener(Listener listener) {
    if (listener) appendTo(registryMutex_, registryVersion_, listeners_, std::move(listener));
}
void MIDI::removeListener(const Listener& listener) {
    removeFrom(registryMutex_, registryVersion_, listeners_, listener);
}
void MIDI::clearListeners() {
    clear(registryMutex_, registryVersion_, listeners_);
}
void MIDI::addTransformer(Transformer transformer) {
    if (transformer) appendTo(registryMutex_, registryVersion_, transformers_, std::move(transformer));
}
void MIDI::removeTransformer(const Transformer& transformer) {
    removeFrom(registryMutex_, registryVersion_, transformers_, transformer);
}
void MIDI::clearTransformers() {
    clear(registryMutex_, registryVersion_, transformers_);
}

// Notifications -------------------------------------------------------------------------------

void MIDI::handleNotification(const MIDINotification* message) {
    if (!message) return;
    MIDINotification header;
    std::memcpy(&header, message, sizeof header);

    if (header.messageID == kMIDIMsgObjectRemoved &&
        header.messageSize >= sizeof(MIDIObjectAddRemoveNotification)) {
        // A vanished source takes its unfinished SysEx with it. Both the assembler and this
        // notification belong to the delivery thread.
        MIDIObjectAddRemoveNotification removed;
        std::memcpy(&removed, message, sizeof removed);
        std::vector<std::pair<MIDIUniqueID, std::shared_ptr<SysExAssembler>>> gone;
        {
            std::lock_guard lock(mutex_);
            for (const auto& [uid, entry] : inputs_)
                if (entry.endpoint == removed.child) gone.emplace_back(uid, entry.assembler);
        }
        for (auto& [uid, assembler] : gone) {
            ump_.dropPendingSysEx(uid);
            if (assembler) assembler->reset();
        }
    }

    const auto listeners = listenerSnapshot();
    if (listeners->empty()) return;
    switch (header.messageID) {
    case kMIDIMsgPropertyChanged: {
        if (header.messageSize < sizeof(MIDIObjectPropertyChangeNotification)) break;
        MIDIObjectPropertyChangeNotification info;
        std::memcpy(&info, message, sizeof info);
        for (const auto& listener : *listeners)
            listener->receivedMIDIPropertyChange(info);
        break;
    }
    case kMIDIMsgSetupChanged:
        for (const auto& listener : *listeners)
            listener->receivedMIDISetupChange();
        break;
    default:
        for (const auto& listener : *listeners)
            listener->receivedMIDINotification(header);
        break;
    }
}

// Listing -------------------------------------------------------------------------------------

MIDIUniqueID MIDI::uniqueIDOf(MIDIEndpointRef endpoint) const {
    std::int32_t uid = 0;
    if (server_->getIntegerProperty(endpoint, kMIDIPropertyUniqueID, &uid) != noErr) return 0;
    return uid;
}

std::string MIDI::nameOf(MIDIEndpointRef endpoint) const {
    std::string name;
    if (server_->getStringProperty(endpoint, kMIDIPropertyName, &name) != noErr) return {};
    return name;
}

std::vector<MIDI::ListedEndpoint> MIDI::listedEndpoints(bool sources) const {
    std::vector<MIDIEndpointRef> own = sources ? virtualOutputs() : virtualInputs();
    std::erase(own, MIDIEndpointRef{0});
    const ItemCount count = sources ? server_->numberOfSources() : server_->numberOfDestinations();
    std::vector<ListedEndpoint> listed;
    for (ItemCount i = 0; i < count; ++i) {
        const MIDIEndpointRef ref = sources ? server_->source(i) : server_->destination(i);
        if (ref == 0 || std::find(own.begin(), own.end(), ref) != own.end()) continue;
        ListedEndpoint endpoint{ref, uniqueIDOf(ref), nameOf(ref)};
        if (endpoint.uid == 0 || endpoint.name.empty()) continue;
        listed.push_back(std::move(endpoint));
    }
    return listed;
}

std::optional<MIDI::ListedEndpoint> MIDI::listedAt(bool sources, int index) const {
    if (index < 0) return std::nullopt;
    auto listed = listedEndpoints(sources);
    if (static_cast<std::size_t>(index) >= listed.size()) return std::nullopt;
    return std::move(listed[static_cast<std::size_t>(index)]);
}

// The shared object ---------------------------------------------------------------------------

namespace {

std::mutex& sharedMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<MIDI>& sharedSlot() {
    // The current server (and the jobs it delivers on) is made first, so it outlives the slot: the
    // shared object disposes its client on that server at exit.
    static const bool serverFirst = (currentMIDIServer(), true);
    (void)serverFirst;
    static std::shared_ptr<MIDI> slot;
    return slot;
}

} // namespace

std::shared_ptr<MIDI> sharedMIDI() {
    std::lock_guard lock(sharedMutex());
    auto& slot = sharedSlot();
    if (!slot) slot = MIDI::make();
    return slot;
}

void setSharedMIDI(std::shared_ptr<MIDI> midi) {
    std::shared_ptr<MIDI> previous;
    {
        std::lock_guard lock(sharedMutex());
        previous = std::exchange(sharedSlot(), std::move(midi));
    }
    // Released outside the lock: its client's disposal may wait for a delivery.
}

} // namespace sonabel
