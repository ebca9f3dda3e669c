#pragma once
#include <complex>
#include <cstddef>
#include <vector>

namespace platform::dsp {

// Real-input forward FFT of single-precision samples. Plans are made once per size and shared;
// making one takes a process-wide lock, running one does not.
class FFT {
public:
    // n/2 + 1 complex bins of the n real samples (n > 0); empty for n == 0.
    static std::vector<std::complex<float>> forward(const float* samples, std::size_t n);
    // Back from n/2 + 1 bins to n real samples, scaled by 1/n so that forward and inverse round-trip.
    static std::vector<float> inverse(const std::vector<std::complex<float>>& bins, std::size_t n);
};

} // namespace platform::dsp
