// Endpoint table of the in-process server.
#include "platform/midi/inprocess/InProcessEndpoints.h"

namespace platform::midi {

InProcessEndpoints::Endpoint* InProcessEndpoints::find(MIDIObjectRef ref) {
    auto it = endpoints_.find(ref);
    return it == endpoints_.end() ? nullptr : &it->second;
}

MIDIUniqueID InProcessEndpoints::makeUpUniqueID() {
    while (true) {
        // splitmix64: well spread, so made-up IDs stay clear of small hand-picked ones.
        std::uint64_t z = (seed_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        const auto id = static_cast<MIDIUniqueID>(static_cast<std::uint32_t>(z));
        if (id != 0 && !byUniqueID_.contains(id)) return id;
    }
}

OSStatus InProcessEndpoints::insert(Endpoint endpoint) {
    if (endpoint.uniqueID == 0)
        endpoint.uniqueID = makeUpUniqueID();
    else if (byUniqueID_.contains(endpoint.uniqueID))
        return kMIDIIDNotUnique;
    byUniqueID_[endpoint.uniqueID] = endpoint.ref;
    const MIDIEndpointRef ref = endpoint.ref;
    endpoints_.emplace(ref, std::move(endpoint));
    return noErr;
}

void InProcessEndpoints::erase(MIDIEndpointRef ref) {
    auto it = endpoints_.find(ref);
    if (it == endpoints_.end()) return;
    byUniqueID_.erase(it->second.uniqueID);
    endpoints_.erase(it);
}

OSStatus InProcessEndpoints::setUniqueID(Endpoint& endpoint, MIDIUniqueID uniqueID) {
    if (uniqueID == endpoint.uniqueID) return noErr;
    if (uniqueID == 0) return kAudio_ParamError;
    if (byUniqueID_.contains(uniqueID)) return kMIDIIDNotUnique;
    byUniqueID_.erase(endpoint.uniqueID);
    byUniqueID_[uniqueID] = endpoint.ref;
    endpoint.uniqueID = uniqueID;
    return noErr;
}

ItemCount InProcessEndpoints::listedCount(bool sources) const {
    ItemCount n = 0;
    for (const auto& [ref, e] : endpoints_)
        if (e.isSource == sources && !e.isPrivate) ++n;
    return n;
}

MIDIEndpointRef InProcessEndpoints::listedAt(bool sources, ItemCount index) const {
    for (const auto& [ref, e] : endpoints_) {
        if (e.isSource != sources || e.isPrivate) continue;
        if (index == 0) return ref;
        --index;
    }
    return 0;
}

std::vector<MIDIEndpointRef> InProcessEndpoints::ownedBy(MIDIClientRef client) const {
    std::vector<MIDIEndpointRef> refs;
    for (const auto& [ref, e] : endpoints_)
        if (e.owner == client) refs.push_back(ref);
    return refs;
}

OSStatus InProcessEndpoints::getString(const Endpoint& endpoint, std::string_view property,
                                       std::string& out) {
    if (auto it = endpoint.strings.find(property); it != endpoint.strings.end()) {
        out = it->second;
        return noErr;
    }
    if (property == kMIDIPropertyDisplayName) return getString(endpoint, kMIDIPropertyName, out);
    return kMIDIUnknownProperty;
}

OSStatus InProcessEndpoints::getInteger(const Endpoint& endpoint, std::string_view property,
                                        std::int32_t& out) {
    if (property == kMIDIPropertyUniqueID) {
        out = endpoint.uniqueID;
        return noErr;
    }
    if (property == kMIDIPropertyPrivate) {
        out = endpoint.isPrivate ? 1 : 0;
        return noErr;
    }
    if (auto it = endpoint.integers.find(property); it != endpoint.integers.end()) {
        out = it->second;
        return noErr;
    }
    if (property == kMIDIPropertyOffline) {
        out = 0;
        return noErr;
    }
    return kMIDIUnknownProperty;
}

bool InProcessEndpoints::setString(Endpoint& endpoint, std::string_view property, std::string_view value) {
    auto it = endpoint.strings.find(property);
    if (it != endpoint.strings.end()) {
        if (it->second == value) return false;
        it->second = value;
        return true;
    }
    endpoint.strings.emplace(std::string(property), std::string(value));
    return true;
}

} // namespace platform::midi
