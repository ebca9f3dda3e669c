// The input half of the MIDI object: listing sources, opening and closing input ports, and
// dispatching what they deliver.
#include "platform/midi/MIDIServices.h"
#include "sonabel/internals/error_handling/Log.h"
#include "sonabel/midi/MIDI.h"
#include "sonabel/midi/MIDIEventListIterator.h"
#include "sonabel/midi/MIDIPacketIterator.h"
#include "sonabel/midi/MIDIPacketListIterator.h"

#include <algorithm>
#include <array>
#include <utility>

namespace sonabel {

namespace {

constexpr const char* kCloseInput = "closeInput(uid:)";
constexpr std::size_t kReservedMessages = 256;

// Channel messages and the system bytes F0-F3, F6-F8, FA-FC, FE.
bool isDeliverable(const MIDIEvent& event) {
    if (event.data.empty()) return false;
    const MIDIByte b = event.data[0];
    if (b >= 0x80 && b <= 0xEF) return true;
    return b >= 0xF0 && ((0x5DCF >> (b - 0xF0)) & 1) != 0;
}

std::vector<MIDIByte> toVector(std::span<const MIDIByte> bytes) {
    return {bytes.begin(), bytes.end()};
}

} // namespace

// A received message on its way to the listeners. Channel messages, the bulk of the traffic, stay
// in place (data bytes cut to 7 bits, as the classifier does) instead of costing a heap block each;
// everything else is the event the classifier makes of it.
struct MIDI::Received {
    std::array<MIDIByte, 3> bytes{};
    std::uint8_t size = 0; // of `bytes`; 0: the message is `event`
    std::optional<MIDITimeStamp> timeStamp;
    MIDIEvent event;

    Received(std::vector<MIDIByte>&& message, std::optional<MIDITimeStamp> stamp)
        : event(std::move(message), stamp) {}
    Received(std::span<const MIDIByte> message, std::optional<MIDITimeStamp> stamp) {
        if (message.size() >= 2 && message.size() <= 3 && message[0] >= 0x80 && message[0] < 0xF0) {
            size = static_cast<std::uint8_t>(message.size());
            bytes[0] = message[0];
            for (std::size_t i = 1; i < message.size(); ++i)
                bytes[i] = message[i] & 0x7F;
            timeStamp = stamp;
        } else {
            event = MIDIEvent(toVector(message), stamp);
        }
    }
    bool deliverable() const { return size > 0 || isDeliverable(event); }
    MIDIEvent toEvent() && {
        if (size == 0) return std::move(event);
        MIDIEvent made;
        made.data.assign(bytes.begin(), bytes.begin() + size);
        made.timeStamp = timeStamp;
        return made;
    }
};

// Listing -------------------------------------------------------------------------------------

std::vector<MIDIUniqueID> MIDI::inputUIDs() const {
    std::vector<MIDIUniqueID> uids;
    for (const auto& source : listedEndpoints(true))
        uids.push_back(source.uid);
    return uids;
}

std::vector<std::string> MIDI::inputNames() const {
    std::vector<std::string> names;
    for (auto& source : listedEndpoints(true))
        names.push_back(std::move(source.name));
    return names;
}

std::optional<std::string> MIDI::inputName(MIDIUniqueID uid) const {
    for (auto& source : listedEndpoints(true))
        if (source.uid == uid) return std::move(source.name);
    return std::nullopt;
}

MIDIUniqueID MIDI::uidForInputAt(int index) const {
    const auto source = listedAt(true, index);
    return source ? source->uid : 0;
}

// Opening -------------------------------------------------------------------------------------

void MIDI::openInput(std::string_view name) {
    const auto sources = listedEndpoints(true);
    for (const auto& source : sources) {
        if (source.name != name) continue;
        openListedInput(source);
        return;
    }
    if (!name.empty()) return;
    for (const auto& source : sources)
        openListedInput(source);
}

void MIDI::openInput(MIDIUniqueID uid) {
    for (const auto& source : listedEndpoints(true))
        if (uid == 0 || source.uid == uid) openListedInput(source);
}

void MIDI::openInputAtIndex(int index) {
    if (const auto source = listedAt(true, index)) openListedInput(*source);
}

void MIDI::openListedInput(const ListedEndpoint& source) {
    MIDIPortRef stale = 0;
    {
        std::lock_guard lock(mutex_);
        const auto found = inputs_.find(source.uid);
        if (found != inputs_.end()) {
            if (found->second.endpoint == source.ref) return; // already open
            // Left behind by a source that vanished and came back under the same unique ID:
            // its port hears nothing any more.
            stale = found->second.port;
            inputs_.erase(found);
        }
    }
    if (stale != 0) server_->disposePort(stale);

    auto assembler = std::make_shared<SysExAssembler>();
    std::weak_ptr<MIDI> weak = weak_from_this();
    const MIDIUniqueID uid = source.uid;
    MIDIPortRef port = 0;
    OSStatus status;
    if (universalPacketInput_) {
        status = server_->createInputPortWithProtocol(
            client_, inputPortName(), kMIDIProtocol_1_0,
            [weak, uid](const MIDIEventList* list, ByteCount size, void*) {
                if (auto self = weak.lock()) self->receiveEventList(list, size, uid);
            },
            &port);
    } else {
        status = server_->createInputPortWithBlock(
            client_, inputPortName(),
            [weak, uid, assembler](const MIDIPacketList* list, ByteCount size, void*) {
                if (auto self = weak.lock()) self->receivePacketList(list, size, uid, *assembler);
            },
            &port);
    }
    if (status != noErr) {
        Log({"openInput(uid:)", OSLog::general, OSLogType::info},
            "Error creating MIDI Input Port: " + std::to_string(status));
        return;
    }
    if (server_->connectSource(port, source.ref, nullptr) != noErr) {
        // A port that hears nothing is not an open input.
        server_->disposePort(port);
        return;
    }
    bool raced = false;
    {
        std::lock_guard lock(mutex_);
        raced = !inputs_.try_emplace(uid, InputEntry{port, source.ref, source.name, assembler}).second;
        if (!raced) endpoints_[uid] = OpenedEndpoint{source.ref, true};
    }
    if (raced) server_->disposePort(port); // opened by another thread meanwhile
}

// Closing -------------------------------------------------------------------------------------

void MIDI::closeInput(std::string_view name) {
    std::optional<MIDIUniqueID> uid;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [u, entry] : inputs_)
            if (entry.name == name) {
                uid = u;
                break;
            }
    }
    if (!uid)
        for (const auto& source : listedEndpoints(true))
            if (source.name == name) {
                uid = source.uid;
                break;
            }
    if (uid) closeInput(*uid);
}

void MIDI::closeInput(MIDIUniqueID uid) {
    if (uid == 0) {
        std::vector<std::pair<MIDIUniqueID, std::string>> open;
        {
            std::lock_guard lock(mutex_);
            for (const auto& [u, entry] : inputs_)
                open.emplace_back(u, entry.name);
        }
        for (const auto& [u, name] : open) {
            Log({kCloseInput, OSLog::midi, OSLogType::info}, "Closing MIDI Input '" + name + "'");
            closeOpenInput(u, name);
        }
        return;
    }
    std::optional<std::string> name;
    {
        std::lock_guard lock(mutex_);
        if (const auto found = inputs_.find(uid); found != inputs_.end()) name = found->second.name;
    }
    if (!name) name = inputName(uid);
    if (!name) {
        Log({kCloseInput, OSLog::midi, OSLogType::info},
            "Trying to close midi input " + std::to_string(uid) + ", but no name was found");
        return;
    }
    Log({kCloseInput, OSLog::midi, OSLogType::info}, "Closing MIDI Input '" + *name + "'");
    closeOpenInput(uid, *name);
}

void MIDI::closeOpenInput(MIDIUniqueID uid, const std::string& name) {
    InputEntry entry;
    {
        std::lock_guard lock(mutex_);
        const auto found = inputs_.find(uid);
        if (found == inputs_.end()) return;
        entry = found->second;
    }
    const auto removeEntries = [&] {
        std::lock_guard lock(mutex_);
        const auto found = inputs_.find(uid);
        if (found != inputs_.end() && found->second.port == entry.port) inputs_.erase(found);
        const auto opened = endpoints_.find(uid);
        if (opened != endpoints_.end() && opened->second.isSource) endpoints_.erase(opened);
    };

    // Both calls may wait for a delivery in flight: no lock is held across them.
    const OSStatus disconnected = server_->disconnectSource(entry.port, entry.endpoint);
    // An unplugged source took its connection with it: nothing is left to disconnect.
    std::int32_t listedID = 0;
    const bool failed = disconnected != noErr &&
                        !(disconnected == kMIDINoConnection &&
                          server_->getIntegerProperty(entry.endpoint, kMIDIPropertyUniqueID, &listedID) ==
                              kMIDIObjectNotFound);
    if (failed) {
        Log({kCloseInput, OSLog::midi, OSLogType::error},
            "Error disconnecting MIDI port: " + std::to_string(disconnected));
    } else if (disconnected != noErr) {
        removeEntries();
        Log({kCloseInput, OSLog::midi, OSLogType::info}, name + " was unplugged: nothing to disconnect");
    } else {
        removeEntries();
        Log({kCloseInput, OSLog::midi, OSLogType::info},
            "Disconnected " + name + " and removed it from endpoints and input ports");
    }
    const OSStatus disposed = server_->disposePort(entry.port);
    if (disposed != noErr) {
        Log({kCloseInput, OSLog::midi, OSLogType::error},
            "Error displosing  MIDI port: " + std::to_string(disposed));
        return;
    }
    Log({kCloseInput, OSLog::midi, OSLogType::info}, "Disposed " + name);
    // Nothing reaches the port any more, so the entries can go even when the disconnect failed.
    if (failed) removeEntries();
    ump_.dropPendingSysEx(uid);
}

void MIDI::closeInputAtIndex(int index) {
    if (const auto source = listedAt(true, index)) closeInput(source->uid);
}

void MIDI::closeAllInputs() {
    Log({"closeAllInputs()", OSLog::midi, OSLogType::info}, "Closing All Inputs");
    closeInput(MIDIUniqueID{0});
}

// Receiving -----------------------------------------------------------------------------------

void MIDI::receiveEventList(const MIDIEventList* eventList, ByteCount listSize, MIDIUniqueID source) {
    MIDIEventListIterator packets(eventList, listSize);
    if (packets.protocol() != kMIDIProtocol_1_0) {
        Log({"openInput(uid:)", OSLog::midi, OSLogType::info},
            "Got unsupported MIDI 2.0 MIDIEventList, skipping");
        return;
    }
    struct Messages final : UMPMessageProcessor::Sink {
        std::vector<Received> list;
        bool keepUnfinished = false;
        void oneWord(std::span<const MIDIByte, 3> bytes, MIDITimeStamp timeStamp) override {
            list.emplace_back(bytes, timeStamp);
        }
        void sysEx(std::vector<MIDIByte>&& bytes, MIDITimeStamp timeStamp) override {
            // A piece that leaves its message unfinished is an event without bytes: only
            // transformers see it.
            if (keepUnfinished || !bytes.empty()) list.emplace_back(std::move(bytes), timeStamp);
        }
    } messages;
    while (const auto packet = packets.next()) {
        messages.list.clear();
        messages.keepUnfinished = hasTransformers();
        ump_.processUMPMessages(*packet, source, messages);
        deliverReceived(messages.list, source, messages.keepUnfinished);
    }
}

void MIDI::receivePacketList(const MIDIPacketList* packetList, ByteCount listSize, MIDIUniqueID source,
                             SysExAssembler& assembler) {
    MIDIPacketListIterator packets(packetList, listSize);
    std::vector<Received> messages;
    while (const auto packet = packets.next()) {
        messages.clear();
        // A packet of short messages holds about one per three bytes; a SysEx packet one or two.
        const auto bytes = packet->data;
        if (!bytes.empty() && bytes[0] != MIDISystemCommand::sysEx && !assembler.isReceivingSysEx())
            messages.reserve(std::min<std::size_t>(bytes.size() / 3 + 1, kReservedMessages));
        MIDIPacketIterator iterator(*packet, assembler);
        while (const auto message = iterator.nextMessage())
            messages.emplace_back(message->bytes, message->timeStamp);
        deliverReceived(messages, source, hasTransformers());
    }
}

bool MIDI::hasTransformers() const {
    std::lock_guard lock(registryMutex_);
    return !transformers_->empty();
}

void MIDI::deliverReceived(std::vector<Received>& messages, MIDIUniqueID source, bool transformed) {
    // Channel messages become events only when a transformer wants them. Transformers see every
    // event of the packet; what cannot be delivered, theirs or not, is dropped without a word.
    ListenerSnapshots listeners(*this);
    if (transformed) {
        std::vector<MIDIEvent> events;
        events.reserve(messages.size());
        for (auto& message : messages)
            events.push_back(std::move(message).toEvent());
        events = applyTransformers(std::move(events));
        for (const auto& event : events)
            if (isDeliverable(event)) dispatch(listeners.current(), event, source);
        return;
    }
    for (const auto& message : messages) {
        if (!message.deliverable()) continue;
        if (message.size == 0)
            dispatch(listeners.current(), message.event, source);
        else
            dispatchMessage(listeners.current(), {message.bytes.data(), message.size}, nullptr,
                            message.timeStamp, source);
    }
}

std::vector<MIDIEvent> MIDI::processUMPMessages(const MIDIEventPacketView& packet, MIDIUniqueID source) {
    return ump_.processUMPMessages(packet, source);
}

std::vector<MIDIEvent> MIDI::applyTransformers(std::vector<MIDIEvent> events) {
    std::shared_ptr<const std::vector<Transformer>> transformers;
    {
        std::lock_guard lock(registryMutex_);
        transformers = transformers_;
    }
    for (const auto& transformer : *transformers)
        events = transformer->transform(std::move(events));
    return events;
}

void MIDI::handleMIDIMessage(const MIDIEvent& event, MIDIUniqueID fromInput) {
    dispatch(*listenerSnapshot(), event, fromInput);
}

void MIDI::dispatch(const std::vector<Listener>& listeners, const MIDIEvent& event, MIDIUniqueID fromInput) {
    dispatchMessage(listeners, event.data, &event.data, event.timeStamp, fromInput);
}

void MIDI::dispatchMessage(const std::vector<Listener>& listeners, std::span<const MIDIByte> data,
                           const std::vector<MIDIByte>* whole, const std::optional<MIDITimeStamp>& timeStamp,
                           MIDIUniqueID fromInput) {
    if (listeners.empty()) return;
    const std::size_t size = data.size();
    const MIDIByte status = size > 0 ? data[0] : 0;
    const MIDIChannel channel = status & 0x0F;
    const std::optional<MIDIUniqueID> portID = fromInput;

    // Bytes a status needs before it can be handed on.
    std::size_t needed = 1;
    bool usable = true;
    switch (status >> 4) {
    case 0x8:
    case 0x9:
    case 0xA:
    case 0xB:
        needed = 3;
        break;
    case 0xC:
    case 0xD:
        needed = 2;
        break;
    case 0xE:
        break;
    case 0xF:
        usable = ((0x5DCF >> (status - 0xF0)) & 1) != 0;
        break;
    default:
        usable = false;
    }
    if (!usable || size < needed) {
        for (std::size_t i = 0; i < listeners.size(); ++i)
            Log({"handleMIDIMessage(_:fromInput:)", OSLog::midi, OSLogType::info},
                "No usable status detected in handleMIDIMessage");
        return;
    }
    for (const auto& listener : listeners) {
        switch (status >> 4) {
        case 0x8:
            listener->receivedMIDINoteOff(data[1], data[2], channel, portID, timeStamp);
            break;
        case 0x9:
            listener->receivedMIDINoteOn(data[1], data[2], channel, portID, timeStamp);
            break;
        case 0xA:
            listener->receivedMIDIAftertouch(data[1], data[2], channel, portID, timeStamp);
            break;
        case 0xB:
            listener->receivedMIDIController(data[1], data[2], channel, portID, timeStamp);
            break;
        case 0xC:
            listener->receivedMIDIProgramChange(data[1], channel, portID, timeStamp);
            break;
        case 0xD:
            listener->receivedMIDIAftertouch(data[1], channel, portID, timeStamp);
            break;
        case 0xE: {
            const MIDIWord value = size >= 3 ? static_cast<MIDIWord>((data[2] << 7) + data[1]) : 0;
            listener->receivedMIDIPitchWheel(value, channel, portID, timeStamp);
            break;
        }
        default:
            listener->receivedMIDISystemCommand(whole ? *whole : toVector(data), portID, timeStamp);
            break;
        }
    }
}

} // namespace sonabel
