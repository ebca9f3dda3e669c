#pragma once
#include <cstdint>
#include <functional>
#include <vector>

struct SRC_STATE_tag;

namespace platform {

// Streams deinterleaved float audio from one rate to another, pulling input as it needs it.
class SampleRateConverter {
public:
    // Fills `channels` pointers with up to `frames` input frames and returns how many it gave;
    // 0 ends the stream for now (the converter pads with silence).
    using Pull = std::function<std::uint32_t(std::uint32_t frames, const float* const** channels)>;

    SampleRateConverter(std::uint32_t channels, double inputRate, double outputRate);
    ~SampleRateConverter();
    SampleRateConverter(const SampleRateConverter&) = delete;
    SampleRateConverter& operator=(const SampleRateConverter&) = delete;

    bool isValid() const { return state_ != nullptr; }
    std::uint32_t channels() const { return channels_; }
    double inputRate() const { return inputRate_; }
    double outputRate() const { return outputRate_; }
    // Writes exactly `frames` frames into out (one pointer per channel).
    void process(std::uint32_t frames, float* const* out, const Pull& pull);
    void reset();

private:
    static long callback(void* self, float** data);

    std::uint32_t channels_;
    double inputRate_;
    double outputRate_;
    SRC_STATE_tag* state_ = nullptr;
    const Pull* pull_ = nullptr;
    std::vector<float> inputScratch_;
    std::vector<float> outputScratch_;
};

} // namespace platform
