#pragma once
// A position or length in beats, with the tempo and sample rate that turn it into samples and
// seconds. Arithmetic and comparison use the beats alone; tempo and rate come from the left side.
#include <cstdint>
#include <string>

namespace sonabel {

struct Duration {
    double beats = 0;
    double sampleRate;
    double tempo = 60.0;

    explicit Duration(double beats, double tempo = 60.0);
    // samples / sampleRate * tempo / 60
    static Duration fromSamples(std::int64_t samples, double sampleRate, double tempo = 60.0);
    // seconds / 60 * tempo
    static Duration fromSeconds(double seconds, double sampleRate, double tempo = 60.0);

    // beats / tempo * 60 * sampleRate truncated; saturates (with a warning) at the 64-bit limits.
    std::int64_t samples() const;
    void setSamples(std::int64_t samples);
    double seconds() const;
    double minutes() const;
    std::string description() const;

    Duration operator+(const Duration& other) const;
    Duration operator-(const Duration& other) const;
    Duration operator%(const Duration& other) const;
    Duration& operator+=(const Duration& other);
    Duration& operator-=(const Duration& other);
    bool operator==(const Duration& other) const { return beats == other.beats; }
    bool operator<(const Duration& other) const { return beats < other.beats; }
    bool operator>(const Duration& other) const { return beats > other.beats; }
    bool operator<=(const Duration& other) const { return !(*this > other); }
    bool operator>=(const Duration& other) const { return !(*this < other); }
};

// The beats rounded up to a whole number; rate and tempo kept.
Duration ceil(const Duration& duration);

} // namespace sonabel
