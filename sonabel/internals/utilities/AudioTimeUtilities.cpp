#include "sonabel/internals/utilities/AudioTimeUtilities.h"

#include "platform/core/HostClock.h"

#include <cmath>
#include <limits>

namespace sonabel {

namespace {

constexpr double kTwoTo64 = 18446744073709551616.0;
constexpr double kTwoTo63 = 9223372036854775808.0;

// host + ticks (a signed, possibly fractional count truncated toward zero), saturating.
std::uint64_t moveHost(std::uint64_t host, double ticks) {
    if (ticks >= 0) {
        const std::uint64_t add =
            ticks >= kTwoTo64 ? std::numeric_limits<std::uint64_t>::max() : static_cast<std::uint64_t>(ticks);
        return host > std::numeric_limits<std::uint64_t>::max() - add
                   ? std::numeric_limits<std::uint64_t>::max()
                   : host + add;
    }
    const double magnitude = -ticks;
    const std::uint64_t sub = magnitude >= kTwoTo64 ? std::numeric_limits<std::uint64_t>::max()
                                                    : static_cast<std::uint64_t>(magnitude);
    return sub > host ? 0 : host - sub;
}

std::int64_t toSamples(double value) {
    if (std::isnan(value)) return 0;
    if (value >= kTwoTo63) return std::numeric_limits<std::int64_t>::max();
    if (value <= -kTwoTo63) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value);
}

std::int64_t addSamples(std::int64_t a, std::int64_t b) {
    std::int64_t r = 0;
    if (__builtin_add_overflow(a, b, &r))
        return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
    return r;
}

// a - b in ticks, signed, as a double.
double hostDifference(std::uint64_t a, std::uint64_t b) {
    return a >= b ? double(a - b) : -double(b - a);
}

// Dividing by the tick length, as the reciprocal taken exactly from the timebase: 1 / 1e-9 in
// floating point would lose whole ticks.
double ticksFor(double seconds) {
    return seconds *
           (double(platform::HostClock::timebase.denom) / double(platform::HostClock::timebase.numer) * 1e9);
}

} // namespace

double secondsPerHostTick() {
    static const double value =
        double(platform::HostClock::timebase.numer) / double(platform::HostClock::timebase.denom) * 1e-9;
    return value;
}

platform::AudioTime audioTimeNow() {
    return platform::AudioTime::withHostTime(platform::HostClock::system().now());
}

platform::AudioTime offset(const platform::AudioTime& t, double s) {
    if (!std::isfinite(s)) return t;
    const double ticks = ticksFor(s);
    const bool host = t.isHostTimeValid(), sample = t.isSampleTimeValid();
    if (host && sample)
        return platform::AudioTime::withHostAndSampleTime(
            moveHost(t.hostTime(), ticks), addSamples(t.sampleTime(), toSamples(t.sampleRate() * s)),
            t.sampleRate());
    if (host) return platform::AudioTime::withHostTime(moveHost(t.hostTime(), ticks));
    if (sample)
        return platform::AudioTime::withSampleTime(addSamples(t.sampleTime(), toSamples(t.sampleRate() * s)),
                                                   t.sampleRate());
    return t;
}

platform::AudioTime extrapolatedTime(const platform::AudioTime& t, const platform::AudioTime& a) {
    if (!t.isHostTimeValid() && !t.isSampleTimeValid()) return t;
    if (t.isHostTimeValid() && t.isSampleTimeValid()) return t;
    if (!(a.isHostTimeValid() && a.isSampleTimeValid())) return t;
    if (t.isHostTimeValid()) {
        const double delta = hostDifference(t.hostTime(), a.hostTime()) * secondsPerHostTick();
        const double samples = std::round(a.sampleRate() * delta);
        return platform::AudioTime::withHostAndSampleTime(
            t.hostTime(), addSamples(a.sampleTime(), toSamples(samples)), a.sampleRate());
    }
    if (!(a.sampleRate() > 0)) return t;
    const double delta = (double(t.sampleTime()) - double(a.sampleTime())) / a.sampleRate();
    return platform::AudioTime::withHostAndSampleTime(moveHost(a.hostTime(), ticksFor(delta)), t.sampleTime(),
                                                      a.sampleRate());
}

std::optional<double> timeIntervalSince(const platform::AudioTime& t, const platform::AudioTime& o) {
    if (t.isHostTimeValid() && o.isHostTimeValid())
        return hostDifference(t.hostTime(), o.hostTime()) * secondsPerHostTick();
    if (!(t.sampleRate() > 0) && (t.isSampleTimeValid() || o.isSampleTimeValid())) return std::nullopt;
    if (t.isSampleTimeValid() && o.isSampleTimeValid())
        return (double(t.sampleTime()) - double(o.sampleTime())) / t.sampleRate();
    if (t.isHostTimeValid() && t.isSampleTimeValid()) {
        const auto e = extrapolatedTime(o, t);
        if (!e.isSampleTimeValid()) return std::nullopt;
        return (double(t.sampleTime()) - double(e.sampleTime())) / t.sampleRate();
    }
    if (o.isHostTimeValid() && o.isSampleTimeValid()) {
        const auto e = extrapolatedTime(t, o);
        if (!e.isSampleTimeValid()) return std::nullopt;
        return (double(e.sampleTime()) - double(o.sampleTime())) / t.sampleRate();
    }
    return std::nullopt;
}

double secondsSince(const platform::AudioTime& t, std::uint64_t hostTime) {
    if (!t.isHostTimeValid()) return 0;
    return hostDifference(t.hostTime(), hostTime) * secondsPerHostTick();
}

platform::AudioTime audioTimeWithHostTime(std::uint64_t hostTime, double plusSeconds) {
    if (!std::isfinite(plusSeconds)) return platform::AudioTime::withHostTime(hostTime);
    return platform::AudioTime::withHostTime(moveHost(hostTime, ticksFor(plusSeconds)));
}

} // namespace sonabel
