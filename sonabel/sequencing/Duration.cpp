#include "sonabel/sequencing/Duration.h"

#include "sonabel/internals/error_handling/Log.h"
#include "sonabel/internals/settings/Settings.h"

#include <cmath>
#include <limits>

namespace sonabel {

Duration::Duration(double beats, double tempo)
    : beats(beats), sampleRate(Settings::sampleRate()), tempo(tempo) {}

Duration Duration::fromSamples(std::int64_t samples, double sampleRate, double tempo) {
    Duration d(static_cast<double>(samples) / sampleRate * tempo / 60, tempo);
    d.sampleRate = sampleRate;
    return d;
}

Duration Duration::fromSeconds(double seconds, double sampleRate, double tempo) {
    Duration d(seconds / 60 * tempo, tempo);
    d.sampleRate = sampleRate;
    return d;
}

std::int64_t Duration::samples() const {
    const double product = beats / tempo * 60 * sampleRate;
    // 2^63 is exactly representable; anything at or above it (or NaN) cannot convert.
    constexpr double limit = 9223372036854775808.0;
    if (std::isnan(product) || product >= limit) {
        Log({"samples"}, "Warning: Samples exceeds the maximum number.");
        return std::numeric_limits<std::int64_t>::max();
    }
    if (product < -limit) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(product);
}

void Duration::setSamples(std::int64_t samples) {
    beats = static_cast<double>(samples) / sampleRate / 60 * tempo;
}

double Duration::seconds() const {
    return static_cast<double>(samples()) / sampleRate;
}

double Duration::minutes() const {
    return static_cast<double>(samples()) / sampleRate / 60;
}

std::string Duration::description() const {
    return platform::describe(samples()) + " samples at " + platform::describe(sampleRate) + " = " +
           platform::describe(beats) + " Beats at " + platform::describe(tempo) +
           " BPM = " + platform::describe(static_cast<double>(samples()) / sampleRate) + "s";
}

Duration Duration::operator+(const Duration& other) const {
    Duration d = *this;
    d.beats += other.beats;
    return d;
}

Duration Duration::operator-(const Duration& other) const {
    Duration d = *this;
    d.beats -= other.beats;
    return d;
}

Duration Duration::operator%(const Duration& other) const {
    Duration d = *this;
    d.beats = std::fmod(beats, other.beats);
    return d;
}

Duration& Duration::operator+=(const Duration& other) {
    beats += other.beats;
    return *this;
}

Duration& Duration::operator-=(const Duration& other) {
    beats -= other.beats;
    return *this;
}

Duration ceil(const Duration& duration) {
    Duration d = duration;
    d.beats = std::ceil(d.beats);
    return d;
}

} // namespace sonabel
