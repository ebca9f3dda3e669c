#pragma once
// What every backend keeps of a source or destination; the backends' endpoint types extend it.
#include "platform/midi/DeliveryQueue.h"
#include "platform/midi/MIDITypes.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace platform::midi {

struct EndpointRecord {
    MIDIEndpointRef ref = 0;
    bool isSource = false;
    MIDIClientRef owner = 0; // the client that made this virtual endpoint; 0 for a device's
    MIDIUniqueID uniqueID = 0;
    bool isPrivate = false;
    std::map<std::string, std::string, std::less<>> strings;
    std::map<std::string, std::int32_t, std::less<>> integers;

    // Destinations: where data sent to them goes.
    DeliveryQueue::TargetPtr target;
    std::shared_ptr<const MIDIReadBlock> readBlock; // virtual destination

    MIDIObjectType objectType() const {
        return isSource ? kMIDIObjectType_Source : kMIDIObjectType_Destination;
    }

    OSStatus getString(std::string_view property, std::string& out) const;
    OSStatus getInteger(std::string_view property, std::int32_t& out) const;
    // Whether the value changed; a first value is a change.
    bool setString(std::string_view property, std::string_view value);
};

} // namespace platform::midi
