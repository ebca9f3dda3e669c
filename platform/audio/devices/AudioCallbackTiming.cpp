#include "platform/audio/devices/AudioCallbackTiming.h"

#include "platform/core/HostClock.h"

#include <algorithm>

namespace platform {

AudioCallbackTiming::AudioCallbackTiming(double sampleRate, std::uint32_t periodFrames)
    : rate_(sampleRate > 0 ? sampleRate : 44100), period_(periodFrames) {}

bool AudioCallbackTiming::callback(std::uint64_t hostTime, std::uint32_t frames, bool flagged) {
    silence_ = 0;
    bool underrun = flagged;
    const auto framesIn = [&](std::uint64_t ticks) {
        return double(ticks) * rate_ / double(HostClock::ticksPerSecond);
    };
    if (!started_ || hostTime < last_) {
        started_ = true;
        paced_ = false;
        anchor_ = hostTime;
        handed_ = 0;
        drift_ = 0;
    } else {
        double late = framesIn(hostTime - anchor_) - double(handed_) - drift_;
        if (!paced_) {
            // A device takes its first fill at once and may start playing well after it (a sound
            // server resuming its sink took two seconds; a duplex stream's first callbacks wait for
            // input while the server still prebuffers its output): until a callback a half period or
            // more after the one before comes on schedule, a late one is the start, with all it was
            // handed still to play.
            if (framesIn(hostTime - last_) >= double(period_) / 2) {
                if (late > 0) {
                    anchor_ = hostTime;
                } else {
                    paced_ = true;
                    startWindow(hostTime, late);
                }
            }
        } else {
            track(hostTime, late);
            if (late > double(period_)) {
                underrun = true;
                silence_ = std::uint64_t(late);
            }
        }
        // The device starts again from empty: what it holds is measured from here.
        if (underrun) {
            anchor_ = hostTime;
            handed_ = 0;
            startWindow(hostTime, 0);
        }
    }
    last_ = hostTime;
    handed_ += frames;
    return underrun;
}

void AudioCallbackTiming::startWindow(std::uint64_t hostTime, double late) {
    drift_ = 0;
    windowEnd_ = hostTime + kWindowTicks;
    windowEarliest_ = late;
    reference_.reset();
}

void AudioCallbackTiming::track(std::uint64_t hostTime, double& late) {
    windowEarliest_ = std::min(windowEarliest_, late);
    if (hostTime < windowEnd_) return;
    // The device's clock and the host's run at slightly different rates, so lateness drifts by the
    // difference without end. What the device holds at the earliest callback of a window stays the
    // same while nothing is lost: each window's earliest is brought back to the first window's.
    if (!reference_) {
        reference_ = windowEarliest_;
    } else {
        const double drift = windowEarliest_ - *reference_;
        drift_ += drift;
        late -= drift;
    }
    windowEnd_ = hostTime + kWindowTicks;
    windowEarliest_ = late;
}

} // namespace platform
