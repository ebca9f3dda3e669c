#include "platform/audio/devices/AudioCallbackTiming.h"

#include "platform/core/HostClock.h"

namespace platform {

AudioCallbackTiming::AudioCallbackTiming(double sampleRate, std::uint32_t periodFrames)
    : rate_(sampleRate > 0 ? sampleRate : 44100), period_(periodFrames) {}

bool AudioCallbackTiming::callback(std::uint64_t hostTime, std::uint32_t frames, bool flagged) {
    silence_ = 0;
    bool underrun = flagged;
    if (!started_ || hostTime < anchor_) {
        started_ = true;
        anchor_ = hostTime;
        handed_ = 0;
    } else {
        const double played = double(hostTime - anchor_) * rate_ / double(HostClock::ticksPerSecond);
        const double late = played - double(handed_);
        if (late > double(period_)) {
            underrun = true;
            silence_ = std::uint64_t(late);
        }
        // The device starts again from empty: what it holds is measured from here.
        if (underrun) {
            anchor_ = hostTime;
            handed_ = 0;
        }
    }
    handed_ += frames;
    return underrun;
}

} // namespace platform
