#pragma once
#include <cstddef>
#include <cstdint>

// Vector routines over strided float arrays, after the platform's vector library.
namespace platform::dsp {

// Root mean square of n samples taken every `stride`; 0 for n == 0.
float rms(const float* samples, std::ptrdiff_t stride, std::size_t n);
// Largest sample (not magnitude); 0 for n == 0.
float maximum(const float* samples, std::ptrdiff_t stride, std::size_t n);
// Largest magnitude; 0 for n == 0.
float maximumMagnitude(const float* samples, std::ptrdiff_t stride, std::size_t n);
// out[i] = a[i] * b[i].
void multiply(const float* a, const float* b, float* out, std::size_t n);
// out[i] = a[i] * scalar.
void scale(const float* a, float scalar, float* out, std::size_t n);
// out[i] = sum over k of in[i * factor + k] * filter[k], for outCount outputs; the caller makes sure
// the input holds (outCount - 1) * factor + filterLength samples.
void decimate(const float* in, std::size_t factor, const float* filter, std::size_t filterLength, float* out,
              std::size_t outCount);
// A periodic Hann window of n points, 0.5 * (1 - cos(2 pi m / n)); normalised, the gain is 0.8165
// instead of 0.5, so that a windowed tone keeps the power it had.
void hannWindow(float* out, std::size_t n, bool normalized = false);

} // namespace platform::dsp
