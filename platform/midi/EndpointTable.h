#pragma once
// The endpoint table every backend keeps: endpoints by handle, their unique IDs, ownership and the
// listing. A backend's table derives from it and adds how endpoints come and go. Not locked: the
// server holds its lock.
#include "platform/midi/EndpointRecord.h"

#include <algorithm>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace platform::midi {

template <class E> class EndpointTable {
public:
    using Endpoint = E;

    E* find(MIDIObjectRef ref) {
        auto it = endpoints_.find(ref);
        return it == endpoints_.end() ? nullptr : &it->second;
    }

    void erase(MIDIEndpointRef ref) {
        auto it = endpoints_.find(ref);
        if (it == endpoints_.end()) return;
        byUniqueID_.erase(it->second.uniqueID);
        endpoints_.erase(it);
    }

    // noErr also when the endpoint already has this ID; 0 is refused.
    OSStatus setUniqueID(E& endpoint, MIDIUniqueID uniqueID) {
        if (uniqueID == endpoint.uniqueID) return noErr;
        if (uniqueID == 0) return kAudio_ParamError;
        if (byUniqueID_.contains(uniqueID)) return kMIDIIDNotUnique;
        byUniqueID_.erase(endpoint.uniqueID);
        byUniqueID_[uniqueID] = endpoint.ref;
        endpoint.uniqueID = uniqueID;
        return noErr;
    }

    // announce: whether clients are to hear of it. Hiding or showing is always announced, so
    // others learn that the endpoint disappears or appears; other changes only while it is listed.
    OSStatus setInteger(E& endpoint, std::string_view property, std::int32_t value, bool& announce) {
        announce = false;
        bool changed = false;
        if (property == kMIDIPropertyUniqueID) {
            const MIDIUniqueID before = endpoint.uniqueID;
            if (OSStatus status = setUniqueID(endpoint, value)) return status;
            changed = endpoint.uniqueID != before;
        } else if (property == kMIDIPropertyPrivate) {
            const bool hide = value != 0;
            if (hide == endpoint.isPrivate) return noErr;
            endpoint.isPrivate = hide;
            announce = true;
            return noErr;
        } else {
            auto [it, inserted] = endpoint.integers.try_emplace(std::string(property), value);
            changed = inserted || it->second != value;
            it->second = value;
        }
        announce = changed && !endpoint.isPrivate;
        return noErr;
    }

    std::vector<MIDIEndpointRef> ownedBy(MIDIClientRef client) const {
        std::vector<MIDIEndpointRef> refs;
        for (const auto& [ref, e] : endpoints_)
            if (e.owner == client) refs.push_back(ref);
        return refs;
    }

    ItemCount listedCount(bool sources) const { return listed(sources).size(); }
    // 0 past the end.
    MIDIEndpointRef listedAt(bool sources, ItemCount index) const {
        const auto all = listed(sources);
        return index < all.size() ? all[index]->ref : 0;
    }

    static OSStatus getString(const E& endpoint, std::string_view property, std::string& out) {
        return endpoint.getString(property, out);
    }
    static OSStatus getInteger(const E& endpoint, std::string_view property, std::int32_t& out) {
        return endpoint.getInteger(property, out);
    }

protected:
    // Endpoints that are not private, in the order of their listingKey() where the type has one,
    // in creation order otherwise.
    std::vector<const E*> listed(bool sources) const {
        std::vector<const E*> out;
        for (const auto& [ref, e] : endpoints_)
            if (e.isSource == sources && !e.isPrivate) out.push_back(&e);
        if constexpr (requires(const E& e) { e.listingKey(); })
            std::stable_sort(out.begin(), out.end(),
                             [](const E* a, const E* b) { return a->listingKey() < b->listingKey(); });
        return out;
    }

    // The endpoint's unique ID must be free.
    void file(E endpoint) {
        byUniqueID_[endpoint.uniqueID] = endpoint.ref;
        const MIDIEndpointRef ref = endpoint.ref;
        endpoints_.emplace(ref, std::move(endpoint));
    }

    std::map<MIDIEndpointRef, E> endpoints_; // handles grow, so this is creation order
    std::unordered_map<MIDIUniqueID, MIDIEndpointRef> byUniqueID_;
};

} // namespace platform::midi
