#pragma once
#include <cstdint>
#include <type_traits>
#include <vector>

struct SRC_STATE_tag;

namespace platform {

// Streams deinterleaved float audio from one rate to another, pulling input as it needs it.
class SampleRateConverter {
public:
    // Fills `channels` pointers with up to `frames` input frames and returns how many it gave;
    // 0 ends the stream for now (the converter pads with silence). A reference to the caller's
    // callable, valid for the call it is passed to: rendering makes no copy of it.
    class Pull {
    public:
        template <typename F>
        Pull(F&& f) // NOLINT: converts from any callable, as std::function would
            : object_(const_cast<void*>(static_cast<const void*>(&f))),
              call_([](void* o, std::uint32_t frames, const float* const** channels) -> std::uint32_t {
                  return (*static_cast<std::remove_reference_t<F>*>(o))(frames, channels);
              }) {}
        std::uint32_t operator()(std::uint32_t frames, const float* const** channels) const {
            return call_(object_, frames, channels);
        }

    private:
        void* object_;
        std::uint32_t (*call_)(void*, std::uint32_t, const float* const**);
    };

    // Room for `maximumFrames` a call is made here; longer calls grow it.
    SampleRateConverter(std::uint32_t channels, double inputRate, double outputRate,
                        std::uint32_t maximumFrames = 4096);
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
