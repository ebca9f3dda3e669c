#include "platform/audio/AudioTime.h"

#include "platform/core/HostClock.h"
#include "platform/core/ValueText.h"

#include <cmath>
#include <limits>

namespace platform {

AudioTime AudioTime::withHostTime(std::uint64_t hostTime) {
    AudioTime t;
    t.hostTime_ = hostTime;
    t.hostTimeValid_ = true;
    return t;
}

AudioTime AudioTime::withSampleTime(std::int64_t sampleTime, double sampleRate) {
    AudioTime t;
    t.sampleTime_ = sampleTime;
    t.sampleRate_ = sampleRate;
    t.sampleTimeValid_ = true;
    return t;
}

AudioTime AudioTime::withHostAndSampleTime(std::uint64_t hostTime, std::int64_t sampleTime,
                                           double sampleRate) {
    AudioTime t = withSampleTime(sampleTime, sampleRate);
    t.hostTime_ = hostTime;
    t.hostTimeValid_ = true;
    return t;
}

std::uint64_t AudioTime::hostTimeForSeconds(double seconds) {
    if (!(seconds > 0)) return 0;
    const double ticks = seconds * double(HostClock::ticksPerSecond);
    // 2^64 as a double; anything at or beyond it saturates.
    if (ticks >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(ticks);
}

double AudioTime::secondsForHostTime(std::uint64_t hostTime) {
    return double(hostTime) / double(HostClock::ticksPerSecond);
}

std::string AudioTime::description() const {
    std::string out = "<AudioTime";
    out += hostTimeValid_ ? " host " + describe(hostTime_) : " host invalid";
    out += sampleTimeValid_ ? " sample " + describe(sampleTime_) + " @ " + describe(sampleRate_) + " Hz"
                            : " sample invalid";
    return out + ">";
}

} // namespace platform
