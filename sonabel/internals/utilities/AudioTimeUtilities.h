#pragma once
// Host-time arithmetic on audio time stamps. Differences are signed; host times saturate at 0 and
// the largest tick count; seconds that are NaN or infinite change nothing.
#include "platform/audio/AudioTime.h"

#include <concepts>
#include <cstdint>
#include <optional>

namespace sonabel {

// The length of one host tick in seconds (numerator / denominator * 1e-9 of the timebase).
double secondsPerHostTick();

platform::AudioTime audioTimeNow();
platform::AudioTime offset(const platform::AudioTime& time, double seconds);
platform::AudioTime extrapolatedTime(const platform::AudioTime& time, const platform::AudioTime& anchor);
std::optional<double> timeIntervalSince(const platform::AudioTime& time, const platform::AudioTime& other);
// Seconds from the given host time to this time's host time (negative when it is later); 0 without a host
// time.
double secondsSince(const platform::AudioTime& time, std::uint64_t hostTime);
platform::AudioTime audioTimeWithHostTime(std::uint64_t hostTime, double plusSeconds);

inline platform::AudioTime operator+(const platform::AudioTime& time, double seconds) {
    return offset(time, seconds);
}
inline platform::AudioTime operator-(const platform::AudioTime& time, double seconds) {
    return offset(time, -seconds);
}
template <std::integral I> platform::AudioTime operator+(const platform::AudioTime& time, I seconds) {
    return offset(time, double(seconds));
}
template <std::integral I> platform::AudioTime operator-(const platform::AudioTime& time, I seconds) {
    return offset(time, -double(seconds));
}

} // namespace sonabel
