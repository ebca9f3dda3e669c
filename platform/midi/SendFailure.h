#pragma once
// What a failed send met, as a backend tells its log, for a caller that tells its user.
#include <string>

namespace platform::midi {

struct SendFailure {
    enum class Kind {
        refused, // the backend would not send it (a byte the wire cannot carry, a refused connection)
        gone,    // the destination, or the device behind it, is no longer there
        stalled, // the receiver took nothing until the backend's deadline passed
    };
    Kind kind = Kind::refused;
    // Empty when the backend gave no reason beyond its status.
    std::string why;
    bool operator==(const SendFailure&) const = default;
};

} // namespace platform::midi
