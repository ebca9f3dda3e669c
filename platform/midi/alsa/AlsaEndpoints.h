#pragma once
// The sequencer server's endpoint table: other clients' ports as sources and destinations, kept
// in line with the sequencer's listing, and our own virtual endpoints. Handles are never reused:
// a port that comes back at an address where another one was gets new handles. Not locked: the
// server holds its lock.
//
// Naming: a client with at most one listed port in a direction names that endpoint after itself;
// otherwise the port's name is used. The display name is "client: port".
#include "platform/midi/DeliveryQueue.h"
#include "platform/midi/MIDITypes.h"
#include "platform/midi/alsa/AlsaPortInfo.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace platform::midi {

class AlsaEndpoints {
public:
    struct Endpoint {
        MIDIEndpointRef ref = 0;
        bool isSource = false;
        int client = 0;
        int port = 0;
        MIDIClientRef owner = 0; // our client that made this virtual endpoint; 0 for others' ports
        MIDIUniqueID uniqueID = 0;
        bool isPrivate = false;
        bool kernelClient = false;
        std::string clientName;
        std::string portName;
        std::map<std::string, std::string, std::less<>> strings; // name, displayName, set properties
        std::map<std::string, std::int32_t, std::less<>> integers;

        // Our virtual destinations: where data sent to them goes.
        DeliveryQueue::TargetPtr target;
        std::shared_ptr<const MIDIReadBlock> readBlock;

        bool isOwn() const { return owner != 0; }
        MIDIObjectType objectType() const {
            return isSource ? kMIDIObjectType_Source : kMIDIObjectType_Destination;
        }
    };

    // One notification owed to clients, in order; property is set for kMIDIMsgPropertyChanged.
    struct Change {
        MIDINotificationMessageID messageID = kMIDIMsgSetupChanged;
        MIDIEndpointRef ref = 0;
        MIDIObjectType type = kMIDIObjectType_Other;
        std::string property;
        bool operator==(const Change&) const = default;
    };

    using HandleMaker = std::function<MIDIObjectRef()>;

    // Brings other clients' endpoints in line with a full listing: removed, then added, then
    // renamed. Our own client, the system client, no-export ports and ports without both the
    // access and the subscribe capability of a direction are left out.
    std::vector<Change> sync(std::span<const AlsaPortInfo> listing, int ownClient,
                             const HandleMaker& makeHandle);
    // Endpoints at a client's port (every port when port < 0) leave now, so a port that the
    // sequencer reports again at that address is a new endpoint.
    std::vector<Change> removeAt(int client, int port);

    Endpoint* find(MIDIObjectRef ref);
    Endpoint* findAt(int client, int port, bool isSource);
    // Our virtual endpoint, with its unique ID made up when 0; kMIDIIDNotUnique when taken.
    OSStatus insertOwn(Endpoint endpoint);
    void erase(MIDIEndpointRef ref);
    // noErr also when the endpoint already has this ID; 0 is refused.
    OSStatus setUniqueID(Endpoint& endpoint, MIDIUniqueID uniqueID);
    std::vector<MIDIEndpointRef> ownedBy(MIDIClientRef client) const;

    // Ordered by client, then port.
    ItemCount listedCount(bool sources) const;
    MIDIEndpointRef listedAt(bool sources, ItemCount index) const;

    // Derived from client name, port name and direction; the probe-th alternative on collision.
    static MIDIUniqueID deriveUniqueID(std::string_view clientName, std::string_view portName, bool isSource,
                                       std::uint32_t probe);
    static bool listable(const AlsaPortInfo& info, bool asSource);

    static OSStatus getString(const Endpoint& endpoint, std::string_view property, std::string& out);
    static OSStatus getInteger(const Endpoint& endpoint, std::string_view property, std::int32_t& out);

private:
    MIDIUniqueID freeUniqueID(std::string_view clientName, std::string_view portName, bool isSource) const;
    void file(Endpoint endpoint);
    std::vector<const Endpoint*> listed(bool sources) const;
    // Sets name and display name of others' endpoints from the counts; reports what changed.
    void rename(std::vector<Change>& changes, const std::vector<MIDIEndpointRef>& fresh);

    std::map<MIDIEndpointRef, Endpoint> endpoints_;
    std::unordered_map<MIDIUniqueID, MIDIEndpointRef> byUniqueID_;
};

} // namespace platform::midi
