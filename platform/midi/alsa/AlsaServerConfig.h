#pragma once
// Options of the sequencer MIDI server.
#include "platform/core/BackgroundJobs.h"
#include "platform/core/HostClock.h"
#include "platform/core/Sleeper.h"
#include "platform/midi/MIDITypes.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>

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

    // SysEx goes out in events of at most this many bytes; toward a kernel MIDI device, of at
    // most kernelSysExChunkBytes (measured through the USB MIDI driver: see the README).
    std::size_t sysExChunkBytes = 256;
    std::size_t kernelSysExChunkBytes = 1024;
    // Toward a kernel MIDI device the kernel drops what does not fit the device's output buffer
    // without telling us. Where the kernel reports the buffer's free room (AlsaOutputRoom), each
    // event waits, polling every kernelRoomPoll, until it fits; the device that takes nothing for
    // retryTimeout fails the send. Elsewhere we keep at most `kernelBufferBudget` bytes in
    // flight, draining at the cable's rate (31250 baud: 3125 bytes a second); 0 bytes a second
    // turns that off.
    std::chrono::nanoseconds kernelRoomPoll = std::chrono::milliseconds(1);
    std::size_t kernelBytesPerSecond = 3125;
    std::size_t kernelBufferBudget = 2048;
    // Reads the kernel's reports (/proc/asound); empty: the files themselves.
    std::function<std::optional<std::string>(const std::string& path)> readKernelFile{};
    // Toward a user-space client whose queue is full: wait and retry; give up (and say so) only
    // when it has taken nothing for retryTimeout. A device, likewise.
    std::chrono::nanoseconds retryWait = std::chrono::milliseconds(1);
    std::chrono::nanoseconds retryTimeout = std::chrono::seconds(10);
    // Upper bound of one wait of the polling thread; stopping wakes it at once.
    std::chrono::milliseconds pollTimeout = std::chrono::milliseconds(500);
};

} // namespace platform::midi
