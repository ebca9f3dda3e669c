#pragma once
// The in-process server's endpoint table: sources and destinations, virtual and external, with
// their properties, unique IDs and the listing order. Not locked: the server holds its lock.
#include "platform/midi/DeliveryQueue.h"
#include "platform/midi/MIDITypes.h"
#include "platform/midi/inprocess/ExternalPacket.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace platform::midi {

class InProcessEndpoints {
public:
    using ExternalReceiveHandler =
        std::function<void(MIDIEndpointRef destination, const ExternalPacket& packet)>;

    struct Endpoint {
        MIDIEndpointRef ref = 0;
        bool isSource = false;
        MIDIClientRef owner = 0; // 0 for an external endpoint
        MIDIUniqueID uniqueID = 0;
        bool isPrivate = false;
        std::map<std::string, std::string, std::less<>> strings;
        std::map<std::string, std::int32_t, std::less<>> integers;

        // Destinations: where sent data goes.
        DeliveryQueue::TargetPtr target;
        std::shared_ptr<const MIDIReadBlock> readBlock;        // virtual destination
        std::shared_ptr<const ExternalReceiveHandler> handler; // external destination
        std::vector<ExternalPacket> received;                  // external, no handler

        bool isExternal() const { return owner == 0; }
        MIDIObjectType objectType() const {
            return isSource ? kMIDIObjectType_Source : kMIDIObjectType_Destination;
        }
    };

    explicit InProcessEndpoints(std::uint64_t uniqueIDSeed) : seed_(uniqueIDSeed) {}

    Endpoint* find(MIDIObjectRef ref);
    // Files the endpoint under its unique ID, made up when 0. kMIDIIDNotUnique when taken.
    OSStatus insert(Endpoint endpoint);
    void erase(MIDIEndpointRef ref);
    // noErr also when the endpoint already has this ID; 0 is refused.
    OSStatus setUniqueID(Endpoint& endpoint, MIDIUniqueID uniqueID);

    ItemCount listedCount(bool sources) const;
    MIDIEndpointRef listedAt(bool sources, ItemCount index) const;
    std::vector<MIDIEndpointRef> ownedBy(MIDIClientRef client) const;

    static OSStatus getString(const Endpoint& endpoint, std::string_view property, std::string& out);
    static OSStatus getInteger(const Endpoint& endpoint, std::string_view property, std::int32_t& out);
    // Whether the value changed.
    static bool setString(Endpoint& endpoint, std::string_view property, std::string_view value);

private:
    MIDIUniqueID makeUpUniqueID();

    std::map<MIDIEndpointRef, Endpoint> endpoints_; // handles grow, so this is creation order
    std::unordered_map<MIDIUniqueID, MIDIEndpointRef> byUniqueID_;
    std::uint64_t seed_;
};

} // namespace platform::midi
