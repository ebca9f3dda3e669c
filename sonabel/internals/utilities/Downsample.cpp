#include "sonabel/internals/utilities/Downsample.h"

#include "platform/audio/dsp/VectorOps.h"
#include "sonabel/internals/error_handling/Log.h"

namespace sonabel {

std::vector<float> downsample(const std::vector<float>& signal, int sampleCount) {
    const std::size_t length = signal.size();
    if (sampleCount <= 0 || length < 2 || length / std::size_t(sampleCount) < 1) {
        Log({"downsample(_:sampleCount:)", OSLogType::error}, "Error in downsample: invalid arguments");
        return {};
    }
    const std::size_t factor = length / std::size_t(sampleCount);
    std::vector<float> out((length - 2) / factor);
    const float filter[2] = {0.5f, 0.5f};
    platform::dsp::decimate(signal.data(), factor, filter, 2, out.data(), out.size());
    return out;
}

} // namespace sonabel
