#include "platform/audio/devices/AudioCallbackTiming.h"

#include "platform/core/HostClock.h"

namespace platform {

AudioCallbackTiming::AudioCallbackTiming(double sampleRate, std::uint32_t periodFrames)
    : rate_(sampleRate > 0 ? sampleRate : 44100), period_(periodFrames) {}

bool AudioCallbackTiming::callback(std::uint64_t hostTime, std::uint32_t frames, bool flagged) {
    silence_ = 0;
    bool underrun = flagged;
    if (!started_ || hostTime < last_) {
        started_ = true;
        paced_ = false;
        anchor_ = hostTime;
        handed_ = 0;
    } else {
        const auto framesIn = [&](std::uint64_t ticks) {
            return double(ticks) * rate_ / double(HostClock::ticksPerSecond);
        };
        const double late = framesIn(hostTime - anchor_) - double(handed_);
        if (!paced_) {
            // A device takes its first fill at once and may start playing well after it (a sound
            // server resuming its sink took two seconds): the first callback it paces is its start,
            // with all it was handed still to play.
            if (framesIn(hostTime - last_) >= double(period_) / 2) {
                paced_ = true;
                if (late > 0) anchor_ = hostTime;
            }
        } else if (late > double(period_)) {
            underrun = true;
            silence_ = std::uint64_t(late);
        }
        // The device starts again from empty: what it holds is measured from here.
        if (underrun) {
            anchor_ = hostTime;
            handed_ = 0;
        }
    }
    last_ = hostTime;
    handed_ += frames;
    return underrun;
}

} // namespace platform
