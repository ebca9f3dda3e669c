#pragma once
// The sequencer server's endpoint table: other clients' ports as sources and destinations, kept
// in line with the sequencer's listing, and our own virtual endpoints. Handles are never reused:
// a port that comes back at an address where another one was gets new handles. Not locked: the
// server holds its lock.
//
// Naming: a client with at most one listed port in a direction names that endpoint after itself;
// otherwise the port's name is used. The display name is "client: port".
#include "platform/midi/EndpointTable.h"
#include "platform/midi/alsa/AlsaEndpoint.h"
#include "platform/midi/alsa/AlsaPortInfo.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform::midi {

class AlsaEndpoints : public EndpointTable<AlsaEndpoint> {
public:
    // One notification owed to clients, in order; property is set for kMIDIMsgPropertyChanged.
    struct Change {
        MIDINotificationMessageID messageID = kMIDIMsgSetupChanged;
        MIDIEndpointRef ref = 0;
        MIDIObjectType type = kMIDIObjectType_Other;
        std::string property;
        // A removed endpoint whose port is still there, with other capabilities: its address.
        int client = -1;
        int port = -1;
        bool operator==(const Change&) const = default;
    };

    using HandleMaker = std::function<MIDIObjectRef()>;

    // Brings other clients' endpoints in line with a full listing: removed, then added, then
    // renamed. Our own client, the system client, no-export ports and ports without both the
    // access and the subscribe capability of a direction are left out.
    // mayAdd (when given) says which listed ports not yet known may be added now.
    std::vector<Change> sync(std::span<const AlsaPortInfo> listing, int ownClient,
                             const HandleMaker& makeHandle,
                             const std::function<bool(int client, int port)>& mayAdd = {});
    // Endpoints at a client's port (every port when port < 0) leave now, so a port that the
    // sequencer reports again at that address is a new endpoint.
    std::vector<Change> removeAt(int client, int port);

    Endpoint* findAt(int client, int port, bool isSource);
    // Our virtual endpoint, with its unique ID made up when 0; kMIDIIDNotUnique when taken.
    OSStatus insertOwn(Endpoint endpoint);

    // Derived from client name, port name and direction; the probe-th alternative on collision.
    static MIDIUniqueID deriveUniqueID(std::string_view clientName, std::string_view portName, bool isSource,
                                       std::uint32_t probe);
    static bool listable(const AlsaPortInfo& info, bool asSource);

private:
    MIDIUniqueID freeUniqueID(std::string_view clientName, std::string_view portName, bool isSource) const;
    // Sets name and display name of others' endpoints from the counts; reports what changed.
    void rename(std::vector<Change>& changes, const std::vector<MIDIEndpointRef>& fresh);
};

} // namespace platform::midi
