// Own virtual endpoints: destinations other programs send to, sources the send path feeds.
#include "sonabel/internals/error_handling/CheckError.h"
#include "sonabel/internals/error_handling/Log.h"
#include "sonabel/midi/MIDI.h"
#include "sonabel/midi/MIDIPacketIterator.h"
#include "sonabel/midi/MIDIPacketListIterator.h"

#include <algorithm>
#include <atomic>

namespace sonabel {

namespace {

constexpr MIDIUniqueID kFirstDefaultInputID = 2000000;
constexpr MIDIUniqueID kFirstDefaultOutputID = 2000001;
constexpr const char* kCountError = "Error: Number of port to create can't be less than one)";

} // namespace

void MIDI::createVirtualPorts(int count, const std::optional<std::vector<std::int32_t>>& inputPortIDs,
                              const std::optional<std::vector<std::int32_t>>& outputPortIDs,
                              const std::optional<std::vector<std::string>>& inputPortNames,
                              const std::optional<std::vector<std::string>>& outputPortNames) {
    const char* function =
        "createVirtualPorts(count:inputPortIDs:outputPortIDs:inputPortNames:outputPortNames:)";
    if (count < 1) {
        Log({function, OSLog::midi, OSLogType::error}, kCountError);
        return;
    }
    Log({function, OSLog::midi, OSLogType::info},
        "Creating " + std::to_string(count) + " virtual input and output ports");
    createVirtualInputPorts(count, inputPortIDs, inputPortNames);
    createVirtualOutputPorts(count, outputPortIDs, outputPortNames);
}

void MIDI::createVirtualInputPorts(int count, const std::optional<std::vector<std::int32_t>>& uniqueIDs,
                                   const std::optional<std::vector<std::string>>& names) {
    createVirtual(true, count, uniqueIDs, names);
}

void MIDI::createVirtualOutputPorts(int count, const std::optional<std::vector<std::int32_t>>& uniqueIDs,
                                    const std::optional<std::vector<std::string>>& names) {
    createVirtual(false, count, uniqueIDs, names);
}

void MIDI::createVirtual(bool inputs, int count, const std::optional<std::vector<std::int32_t>>& uniqueIDs,
                         const std::optional<std::vector<std::string>>& names) {
    const char* function = inputs ? "createVirtualInputPorts(count:uniqueIDs:names:)"
                                  : "createVirtualOutputPorts(count:uniqueIDs:names:)";
    if (count < 1) {
        Log({function, OSLog::midi, OSLogType::error}, kCountError);
        return;
    }
    std::size_t nextNameNumber;
    {
        std::lock_guard lock(mutex_);
        nextNameNumber = (inputs ? virtualInputs_ : virtualOutputs_).size();
    }
    for (int j = 0; j < count; ++j) {
        const auto position = static_cast<std::size_t>(j);
        std::string name;
        if (names && position < names->size())
            name = (*names)[position];
        else
            name = std::string(clientName()) + (inputs ? " Input " : " Output ") +
                   std::to_string(nextNameNumber++);

        std::size_t slot;
        MIDIUniqueID uid;
        {
            std::lock_guard lock(mutex_);
            auto& list = inputs ? virtualInputs_ : virtualOutputs_;
            // The slot is the trailing placeholder; a new one goes behind it.
            slot = list.size() - 1;
            list.push_back(0);
            if (uniqueIDs && position < uniqueIDs->size()) {
                uid = (*uniqueIDs)[position];
            } else {
                int& defaults = inputs ? defaultInputIDs_ : defaultOutputIDs_;
                uid = (inputs ? kFirstDefaultInputID : kFirstDefaultOutputID) + 2 * defaults++;
            }
        }

        MIDIEndpointRef endpoint = 0;
        OSStatus status;
        auto cell = std::make_shared<std::atomic<MIDIUniqueID>>(uid);
        if (inputs) {
            std::weak_ptr<MIDI> weak = weak_from_this();
            auto assembler = std::make_shared<SysExAssembler>();
            status = server_->createDestination(
                client_, name,
                [weak, cell, assembler](const MIDIPacketList* list, ByteCount size, void*) {
                    if (auto self = weak.lock())
                        self->receiveVirtualPacketList(list, size, cell->load(), *assembler);
                },
                &endpoint);
        } else {
            status = server_->createSource(client_, name, &endpoint);
        }
        if (status != noErr) {
            Log({function, OSLog::midi, OSLogType::error},
                "Error " + std::to_string(status) + " Creating Virtual " + (inputs ? "Input" : "Output") +
                    " Port:\n" + name + " --\n" + std::to_string(0u));
            CheckError(status);
            continue;
        }
        {
            std::lock_guard lock(mutex_);
            auto& list = inputs ? virtualInputs_ : virtualOutputs_;
            if (slot < list.size() && list[slot] == 0) list[slot] = endpoint;
        }
        // A refused unique ID (another endpoint holds it) leaves the server's own: report that one.
        server_->setIntegerProperty(endpoint, kMIDIPropertyUniqueID, uid);
        if (const MIDIUniqueID actual = uniqueIDOf(endpoint); actual != 0) cell->store(actual);
    }
}

MIDI::DestroyResult MIDI::destroyVirtual(bool inputs) {
    std::vector<MIDIEndpointRef> list;
    {
        std::lock_guard lock(mutex_);
        list = inputs ? virtualInputs_ : virtualOutputs_;
    }
    if (list == std::vector<MIDIEndpointRef>{0}) return DestroyResult::none;
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
        if (*it == 0) continue; // placeholders and slots whose creation failed
        if (server_->disposeEndpoint(*it) != noErr) return DestroyResult::failed;
        std::lock_guard lock(mutex_);
        auto& own = inputs ? virtualInputs_ : virtualOutputs_;
        if (const auto found = std::find(own.begin(), own.end(), *it); found != own.end()) own.erase(found);
    }
    std::lock_guard lock(mutex_);
    (inputs ? virtualInputs_ : virtualOutputs_) = {0};
    (inputs ? defaultInputIDs_ : defaultOutputIDs_) = 0;
    return DestroyResult::destroyed;
}

bool MIDI::destroyVirtualInputPort() {
    return destroyVirtual(true) == DestroyResult::destroyed;
}

bool MIDI::destroyVirtualOutputPort() {
    return destroyVirtual(false) == DestroyResult::destroyed;
}

bool MIDI::destroyAllVirtualPorts() {
    const DestroyResult inputs = destroyVirtual(true);
    const DestroyResult outputs = destroyVirtual(false);
    return inputs != DestroyResult::failed && outputs != DestroyResult::failed;
}

std::vector<MIDIUniqueID> MIDI::virtualInputUIDs() const {
    std::vector<MIDIUniqueID> uids;
    for (MIDIEndpointRef endpoint : virtualInputs())
        if (endpoint != 0)
            if (const MIDIUniqueID uid = uniqueIDOf(endpoint); uid != 0) uids.push_back(uid);
    return uids;
}

std::vector<std::string> MIDI::virtualInputNames() const {
    std::vector<std::string> names;
    for (MIDIEndpointRef endpoint : virtualInputs())
        if (endpoint != 0)
            if (auto name = nameOf(endpoint); !name.empty()) names.push_back(std::move(name));
    return names;
}

std::vector<MIDIUniqueID> MIDI::virtualOutputUIDs() const {
    std::vector<MIDIUniqueID> uids;
    for (MIDIEndpointRef endpoint : virtualOutputs())
        if (endpoint != 0)
            if (const MIDIUniqueID uid = uniqueIDOf(endpoint); uid != 0) uids.push_back(uid);
    return uids;
}

std::vector<std::string> MIDI::virtualOutputNames() const {
    std::vector<std::string> names;
    for (MIDIEndpointRef endpoint : virtualOutputs())
        if (endpoint != 0)
            if (auto name = nameOf(endpoint); !name.empty()) names.push_back(std::move(name));
    return names;
}

void MIDI::receiveVirtualPacketList(const MIDIPacketList* packetList, ByteCount listSize, MIDIUniqueID uid,
                                    SysExAssembler& assembler) {
    MIDIPacketListIterator packets(packetList, listSize);
    while (const auto packet = packets.next()) {
        MIDIPacketIterator events(*packet, assembler);
        while (const auto event = events.next())
            // An event without bytes stands for a SysEx still being collected.
            if (!event->data.empty()) handleMIDIMessage(*event, uid);
    }
}

// Endpoint descriptions ---------------------------------------------------------------------------

std::vector<EndpointInfo> MIDI::infosOf(const std::vector<MIDIEndpointRef>& endpoints) const {
    std::vector<EndpointInfo> infos;
    infos.reserve(endpoints.size());
    for (MIDIEndpointRef endpoint : endpoints)
        infos.emplace_back(endpoint, *server_);
    return infos;
}

std::vector<EndpointInfo> MIDI::destinationInfos() const {
    std::vector<MIDIEndpointRef> endpoints;
    for (ItemCount i = 0, n = server_->numberOfDestinations(); i < n; ++i)
        endpoints.push_back(server_->destination(i));
    return infosOf(endpoints);
}

std::vector<EndpointInfo> MIDI::sourceInfos() const {
    std::vector<MIDIEndpointRef> endpoints;
    for (ItemCount i = 0, n = server_->numberOfSources(); i < n; ++i)
        endpoints.push_back(server_->source(i));
    return infosOf(endpoints);
}

std::vector<EndpointInfo> MIDI::virtualInputInfos() const {
    return infosOf(virtualInputs());
}

std::vector<EndpointInfo> MIDI::virtualOutputInfos() const {
    return infosOf(virtualOutputs());
}

} // namespace sonabel
