#include "platform/audio/dsp/FFT.h"

#include <fftw3.h>

#include <map>
#include <memory>
#include <mutex>

namespace platform::dsp {

namespace {

struct Plans {
    fftwf_plan forward = nullptr;
    fftwf_plan inverse = nullptr;
};

std::mutex& plannerMutex() {
    static std::mutex m;
    return m;
}

// Plans work on any suitably aligned arrays of their size through the new-array execute calls.
// Plans live until the process ends and are released then.
struct PlanCache : std::map<std::size_t, Plans> {
    ~PlanCache() {
        for (auto& [n, p] : *this) {
            fftwf_destroy_plan(p.forward);
            fftwf_destroy_plan(p.inverse);
        }
        fftwf_cleanup();
    }
};

const Plans& plansFor(std::size_t n) {
    static PlanCache cache;
    std::lock_guard lock(plannerMutex());
    auto it = cache.find(n);
    if (it != cache.end()) return it->second;
    float* in = fftwf_alloc_real(n);
    fftwf_complex* out = fftwf_alloc_complex(n / 2 + 1);
    Plans p;
    p.forward = fftwf_plan_dft_r2c_1d(int(n), in, out, FFTW_ESTIMATE);
    p.inverse = fftwf_plan_dft_c2r_1d(int(n), out, in, FFTW_ESTIMATE);
    fftwf_free(in);
    fftwf_free(out);
    return cache.emplace(n, p).first->second;
}

struct FloatArray {
    float* p;
    explicit FloatArray(std::size_t n) : p(fftwf_alloc_real(n)) {}
    ~FloatArray() { fftwf_free(p); }
};
struct ComplexArray {
    fftwf_complex* p;
    explicit ComplexArray(std::size_t n) : p(fftwf_alloc_complex(n)) {}
    ~ComplexArray() { fftwf_free(p); }
};

} // namespace

std::vector<std::complex<float>> FFT::forward(const float* samples, std::size_t n) {
    if (n == 0 || !samples || n > std::size_t(1) << 28) return {};
    const Plans& plans = plansFor(n);
    FloatArray in(n);
    ComplexArray out(n / 2 + 1);
    std::copy(samples, samples + n, in.p);
    fftwf_execute_dft_r2c(plans.forward, in.p, out.p);
    std::vector<std::complex<float>> bins(n / 2 + 1);
    for (std::size_t i = 0; i < bins.size(); ++i)
        bins[i] = {out.p[i][0], out.p[i][1]};
    return bins;
}

std::vector<float> FFT::inverse(const std::vector<std::complex<float>>& bins, std::size_t n) {
    if (n == 0 || bins.size() != n / 2 + 1 || n > std::size_t(1) << 28) return {};
    const Plans& plans = plansFor(n);
    ComplexArray in(n / 2 + 1);
    FloatArray out(n);
    for (std::size_t i = 0; i < bins.size(); ++i) {
        in.p[i][0] = bins[i].real();
        in.p[i][1] = bins[i].imag();
    }
    fftwf_execute_dft_c2r(plans.inverse, in.p, out.p);
    std::vector<float> samples(out.p, out.p + n);
    for (auto& s : samples)
        s /= float(n);
    return samples;
}

} // namespace platform::dsp
