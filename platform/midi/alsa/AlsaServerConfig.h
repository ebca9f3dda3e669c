#pragma once
// Options of the sequencer MIDI server.
#include "platform/core/BackgroundJobs.h"
#include "platform/core/HostClock.h"
#include "platform/core/Sleeper.h"
#include "platform/midi/MIDITypes.h"

#include <chrono>
#include <cstddef>

namespace platform::midi {

struct AlsaServerConfig {
    // Threaded: the polling job and the delivery job run on `jobs` (the process's shared jobs
    // when null). Manual: deliveries wait until the test calls runPending(); polling still runs.
    bool manualDelivery = false;
    BackgroundJobs* jobs = nullptr;
    // Stamps received events (CLOCK_MONOTONIC by default) and measures pacing.
    HostClock* clock = &HostClock::system();
    Sleeper* sleeper = &Sleeper::system();
    MIDIObjectRef firstHandle = 0x1000;

    // SysEx goes out in events of at most this many bytes.
    std::size_t sysExChunkBytes = 256;
    // Toward a kernel MIDI device: the kernel drops what does not fit its output buffer (4 KiB)
    // without telling us, so we keep at most `kernelBufferBudget` bytes in flight, draining at
    // the cable's rate (31250 baud: 3125 bytes a second). 0 bytes a second turns pacing off.
    std::size_t kernelBytesPerSecond = 3125;
    std::size_t kernelBufferBudget = 2048;
    // Toward a user-space client whose queue is full: wait and retry; give up (and say so) only
    // when it has taken nothing for retryTimeout.
    std::chrono::nanoseconds retryWait = std::chrono::milliseconds(1);
    std::chrono::nanoseconds retryTimeout = std::chrono::seconds(10);
    // Upper bound of one wait of the polling thread; stopping wakes it at once.
    std::chrono::milliseconds pollTimeout = std::chrono::milliseconds(500);
};

} // namespace platform::midi
