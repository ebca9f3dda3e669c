#include "platform/audio/dsp/VectorOps.h"

#include <cmath>
#include <numbers>

namespace platform::dsp {

float rms(const float* samples, std::ptrdiff_t stride, std::size_t n) {
    if (n == 0 || !samples) return 0;
    double sum = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = samples[std::ptrdiff_t(i) * stride];
        sum += v * v;
    }
    return float(std::sqrt(sum / double(n)));
}

float maximum(const float* samples, std::ptrdiff_t stride, std::size_t n) {
    if (n == 0 || !samples) return 0;
    float best = samples[0];
    for (std::size_t i = 1; i < n; ++i)
        best = std::fmax(best, samples[std::ptrdiff_t(i) * stride]);
    return best;
}

float maximumMagnitude(const float* samples, std::ptrdiff_t stride, std::size_t n) {
    float best = 0;
    for (std::size_t i = 0; samples && i < n; ++i)
        best = std::fmax(best, std::fabs(samples[std::ptrdiff_t(i) * stride]));
    return best;
}

void multiply(const float* a, const float* b, float* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        out[i] = a[i] * b[i];
}

void scale(const float* a, float scalar, float* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        out[i] = a[i] * scalar;
}

void decimate(const float* in, std::size_t factor, const float* filter, std::size_t filterLength, float* out,
              std::size_t outCount) {
    for (std::size_t i = 0; i < outCount; ++i) {
        float sum = 0;
        for (std::size_t k = 0; k < filterLength; ++k)
            sum += in[i * factor + k] * filter[k];
        out[i] = sum;
    }
}

void hannWindow(float* out, std::size_t n, bool normalized) {
    const double gain = normalized ? 0.8165 : 0.5;
    for (std::size_t i = 0; i < n; ++i)
        out[i] = float(gain * (1.0 - std::cos(2 * std::numbers::pi * double(i) / double(n))));
}

} // namespace platform::dsp
