// Endpoint table of the sequencer server.
#include "platform/midi/alsa/AlsaEndpoints.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <map>
#include <set>
#include <tuple>

namespace platform::midi {

namespace {

constexpr unsigned kSourceCaps = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
constexpr unsigned kDestinationCaps = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;

std::uint32_t fnv1a(std::uint32_t hash, std::string_view bytes) {
    for (unsigned char c : bytes) {
        hash ^= c;
        hash *= 16777619u;
    }
    return hash;
}

bool setString(AlsaEndpoints::Endpoint& endpoint, std::string_view property, const std::string& value) {
    auto [it, inserted] = endpoint.strings.try_emplace(std::string(property), value);
    if (inserted) return false; // a first value is no change anyone heard of
    if (it->second == value) return false;
    it->second = value;
    return true;
}

} // namespace

MIDIUniqueID AlsaEndpoints::deriveUniqueID(std::string_view clientName, std::string_view portName,
                                           bool isSource, std::uint32_t probe) {
    std::uint32_t hash = 2166136261u;
    hash = fnv1a(hash, clientName);
    hash = fnv1a(hash, std::string_view("\0", 1));
    hash = fnv1a(hash, portName);
    hash = fnv1a(hash, isSource ? std::string_view("\0S", 2) : std::string_view("\0D", 2));
    for (int i = 0; i < 4; ++i, probe >>= 8)
        hash = fnv1a(hash, std::string(1, static_cast<char>(probe & 0xFF)));
    return static_cast<MIDIUniqueID>(hash);
}

MIDIUniqueID AlsaEndpoints::freeUniqueID(std::string_view clientName, std::string_view portName,
                                         bool isSource) const {
    for (std::uint32_t probe = 0;; ++probe) {
        const MIDIUniqueID id = deriveUniqueID(clientName, portName, isSource, probe);
        if (id != 0 && !byUniqueID_.contains(id)) return id;
    }
}

bool AlsaEndpoints::listable(const AlsaPortInfo& info, bool asSource) {
    if (info.client == SND_SEQ_CLIENT_SYSTEM) return false;
    if (info.capability & SND_SEQ_PORT_CAP_NO_EXPORT) return false;
    const unsigned needed = asSource ? kSourceCaps : kDestinationCaps;
    return (info.capability & needed) == needed;
}

std::vector<AlsaEndpoints::Change>
AlsaEndpoints::sync(std::span<const AlsaPortInfo> listing, int ownClient, const HandleMaker& makeHandle,
                    const std::function<bool(int client, int port)>& mayAdd) {
    std::map<std::tuple<int, int, bool>, const AlsaPortInfo*> wanted;
    std::set<std::pair<int, int>> present;
    for (const auto& info : listing) {
        if (info.client == ownClient) continue;
        present.emplace(info.client, info.port);
        for (bool asSource : {true, false})
            if (listable(info, asSource)) wanted[{info.client, info.port, asSource}] = &info;
    }

    std::vector<Change> changes;
    std::vector<MIDIEndpointRef> gone;
    for (auto& [ref, e] : endpoints_)
        if (!e.isOwn() && !wanted.contains({e.client, e.port, e.isSource})) gone.push_back(ref);
    for (MIDIEndpointRef ref : gone) {
        const Endpoint& e = endpoints_.at(ref);
        auto& change = changes.emplace_back(Change{kMIDIMsgObjectRemoved, ref, e.objectType(), {}});
        if (present.contains({e.client, e.port})) {
            change.client = e.client;
            change.port = e.port;
        }
        erase(ref);
    }

    std::vector<MIDIEndpointRef> fresh;
    for (const auto& [key, info] : wanted) {
        const auto& [client, port, isSource] = key;
        if (Endpoint* existing = findAt(client, port, isSource)) {
            existing->clientName = info->clientName;
            existing->portName = info->portName;
            existing->kernelClient = info->kernelClient;
            continue;
        }
        if (mayAdd && !mayAdd(client, port)) continue;
        Endpoint e;
        e.ref = makeHandle();
        if (e.ref == 0) break; // handles ran out: what is not listed cannot be used
        e.isSource = isSource;
        e.client = client;
        e.port = port;
        e.kernelClient = info->kernelClient;
        e.clientName = info->clientName;
        e.portName = info->portName;
        e.uniqueID = freeUniqueID(info->clientName, info->portName, isSource);
        fresh.push_back(e.ref);
        file(std::move(e));
    }
    rename(changes, fresh);
    // Added ones are announced in listing order, after their names are settled.
    std::vector<MIDIEndpointRef> announced;
    for (bool sources : {true, false})
        for (const Endpoint* e : listed(sources))
            if (std::find(fresh.begin(), fresh.end(), e->ref) != fresh.end()) announced.push_back(e->ref);
    std::vector<Change> added;
    for (MIDIEndpointRef ref : announced) {
        const Endpoint& e = endpoints_.at(ref);
        added.push_back({kMIDIMsgObjectAdded, ref, e.objectType(), {}});
    }
    // Removals first, then additions, then renames of endpoints that were there before.
    auto renames = std::stable_partition(
        changes.begin(), changes.end(), [](const Change& c) { return c.messageID == kMIDIMsgObjectRemoved; });
    changes.insert(renames, added.begin(), added.end());
    return changes;
}

void AlsaEndpoints::rename(std::vector<Change>& changes, const std::vector<MIDIEndpointRef>& fresh) {
    std::map<std::pair<int, bool>, int> counts;
    for (const auto& [ref, e] : endpoints_)
        if (!e.isOwn()) ++counts[{e.client, e.isSource}];
    for (auto& [ref, e] : endpoints_) {
        if (e.isOwn()) continue;
        const std::string name = counts[{e.client, e.isSource}] <= 1 ? e.clientName : e.portName;
        const std::string displayName = e.clientName + ": " + e.portName;
        const bool isFresh = std::find(fresh.begin(), fresh.end(), ref) != fresh.end();
        const bool nameChanged = setString(e, kMIDIPropertyName, name);
        const bool displayChanged = setString(e, kMIDIPropertyDisplayName, displayName);
        if (isFresh) continue;
        if (nameChanged) changes.push_back({kMIDIMsgPropertyChanged, ref, e.objectType(), "name"});
        if (displayChanged) changes.push_back({kMIDIMsgPropertyChanged, ref, e.objectType(), "displayName"});
    }
}

std::vector<AlsaEndpoints::Change> AlsaEndpoints::removeAt(int client, int port) {
    std::vector<Change> changes;
    std::vector<MIDIEndpointRef> gone;
    for (auto& [ref, e] : endpoints_)
        if (!e.isOwn() && e.client == client && (port < 0 || e.port == port)) gone.push_back(ref);
    for (MIDIEndpointRef ref : gone) {
        changes.push_back({kMIDIMsgObjectRemoved, ref, endpoints_.at(ref).objectType(), {}});
        erase(ref);
    }
    rename(changes, {});
    return changes;
}

AlsaEndpoints::Endpoint* AlsaEndpoints::findAt(int client, int port, bool isSource) {
    for (auto& [ref, e] : endpoints_)
        if (e.client == client && e.port == port && e.isSource == isSource) return &e;
    return nullptr;
}

OSStatus AlsaEndpoints::insertOwn(Endpoint endpoint) {
    if (endpoint.uniqueID == 0)
        endpoint.uniqueID = freeUniqueID(endpoint.clientName, endpoint.portName, endpoint.isSource);
    else if (byUniqueID_.contains(endpoint.uniqueID))
        return kMIDIIDNotUnique;
    file(std::move(endpoint));
    return noErr;
}

} // namespace platform::midi
