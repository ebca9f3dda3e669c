#pragma once
// How a send went: out to every destination it was for, or the first failure met, with the
// reason the server gave (or, where it gave only a status, one made from that status).
#include "platform/core/OSStatus.h"
#include "platform/midi/SendFailure.h"

#include <string>

namespace sonabel {

struct MIDISendOutcome {
    enum class Kind {
        sent,
        refused, // the message or the server would not have it sent
        gone,    // the destination, its device or the own source is no longer there
        stalled, // the receiver took nothing until the server gave up
    };
    Kind kind = Kind::sent;
    // Plain words for a user, without a trailing stop; empty when sent.
    std::string reason;

    bool sent() const { return kind == Kind::sent; }
    static MIDISendOutcome refused(std::string reason) { return {Kind::refused, std::move(reason)}; }
    // From what the server returned: its own account where it gave one, else its status.
    static MIDISendOutcome of(OSStatus status, const platform::midi::SendFailure& failure);
    bool operator==(const MIDISendOutcome&) const = default;
};

} // namespace sonabel
