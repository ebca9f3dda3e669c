#pragma once
#include "platform/core/HostClock.h"
#include "platform/core/Sleeper.h"

#include <chrono>

// Where a music player takes its time from and how its thread waits. Without a thread the player
// moves only through MusicPlayerRenderUntil, which makes playback deterministic in tests.
struct MusicPlayerConfiguration {
    platform::HostClock* clock = &platform::HostClock::system();
    platform::Sleeper* sleeper = &platform::Sleeper::system();
    bool runsThread = true;
    std::chrono::nanoseconds renderInterval = std::chrono::milliseconds(2);
};

MusicPlayerConfiguration MusicPlayerDefaultConfiguration();
// Players made from now on take this configuration; the clock and sleeper must outlive them.
void MusicPlayerSetDefaultConfiguration(const MusicPlayerConfiguration& configuration);
