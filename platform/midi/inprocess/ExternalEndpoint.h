#pragma once
// Describes a source or destination that "hardware" (test code, the instrument emulator) plugs
// into the in-process server.
#include "platform/midi/MIDITypes.h"

#include <optional>
#include <string>

namespace platform::midi {

struct ExternalEndpoint {
    std::string name = {};
    std::optional<std::string> displayName = std::nullopt; // follows the name when absent
    std::optional<std::string> model = std::nullopt;
    std::optional<std::string> manufacturer = std::nullopt;
    std::optional<std::string> image = std::nullopt;
    std::optional<std::string> driverOwner = std::nullopt;
    MIDIUniqueID uniqueID = 0; // 0: the server makes one up
    bool isPrivate = false;
};

} // namespace platform::midi
