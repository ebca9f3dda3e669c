// Properties every backend's endpoints answer alike.
#include "platform/midi/EndpointRecord.h"

namespace platform::midi {

OSStatus EndpointRecord::getString(std::string_view property, std::string& out) const {
    if (auto it = strings.find(property); it != strings.end()) {
        out = it->second;
        return noErr;
    }
    if (property == kMIDIPropertyDisplayName) return getString(kMIDIPropertyName, out);
    return kMIDIUnknownProperty;
}

OSStatus EndpointRecord::getInteger(std::string_view property, std::int32_t& out) const {
    if (property == kMIDIPropertyUniqueID) {
        out = uniqueID;
        return noErr;
    }
    if (property == kMIDIPropertyPrivate) {
        out = isPrivate ? 1 : 0;
        return noErr;
    }
    if (auto it = integers.find(property); it != integers.end()) {
        out = it->second;
        return noErr;
    }
    if (property == kMIDIPropertyOffline) {
        out = 0;
        return noErr;
    }
    return kMIDIUnknownProperty;
}

bool EndpointRecord::setString(std::string_view property, std::string_view value) {
    auto it = strings.find(property);
    if (it != strings.end()) {
        if (it->second == value) return false;
        it->second = value;
        return true;
    }
    strings.emplace(std::string(property), std::string(value));
    return true;
}

} // namespace platform::midi
