#pragma once
// Options of the in-process MIDI server.
#include "platform/core/BackgroundJobs.h"
#include "platform/core/HostClock.h"
#include "platform/midi/MIDITypes.h"

#include <cstdint>

namespace platform::midi {

struct InProcessServerConfig {
    // Threaded: deliveries run on a job of `jobs` (the process's shared jobs when null).
    // Manual: deliveries wait until the test calls runPending().
    bool manualDelivery = false;
    BackgroundJobs* jobs = nullptr;
    // Stamps packets sent with time stamp 0 ("now").
    HostClock* clock = &HostClock::system();
    // Unique IDs the server makes up are drawn from a sequence with this seed: the same
    // seed gives the same IDs.
    std::uint64_t uniqueIDSeed = 0x5A0B'E1D0'0000'0001;
    // Handles count up from here; well above any index, so a mixed-up index fails.
    MIDIObjectRef firstHandle = 0x1000;
};

} // namespace platform::midi
