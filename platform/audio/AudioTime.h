#pragma once
#include <cstdint>
#include <string>

namespace platform {

// A point in time as host time (nanoseconds of HostClock), as a sample position at a rate, or both.
// Each part has its own validity.
class AudioTime {
public:
    AudioTime() = default;
    static AudioTime withHostTime(std::uint64_t hostTime);
    static AudioTime withSampleTime(std::int64_t sampleTime, double sampleRate);
    static AudioTime withHostAndSampleTime(std::uint64_t hostTime, std::int64_t sampleTime,
                                           double sampleRate);

    bool isHostTimeValid() const { return hostTimeValid_; }
    bool isSampleTimeValid() const { return sampleTimeValid_; }
    std::uint64_t hostTime() const { return hostTime_; }
    std::int64_t sampleTime() const { return sampleTime_; }
    double sampleRate() const { return sampleRate_; }

    // Conversions between seconds and host ticks; seconds that are negative, not a number or too
    // large for the tick count saturate at 0 and the largest count.
    static std::uint64_t hostTimeForSeconds(double seconds);
    static double secondsForHostTime(std::uint64_t hostTime);

    std::string description() const;
    bool operator==(const AudioTime&) const = default;

private:
    std::uint64_t hostTime_ = 0;
    std::int64_t sampleTime_ = 0;
    double sampleRate_ = 0;
    bool hostTimeValid_ = false;
    bool sampleTimeValid_ = false;
};

} // namespace platform
