// Endpoint table of the in-process server.
#include "platform/midi/inprocess/InProcessEndpoints.h"

namespace platform::midi {

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
    file(std::move(endpoint));
    return noErr;
}

} // namespace platform::midi
