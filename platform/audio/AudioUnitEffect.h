#pragma once
#include "platform/audio/AudioUnitNode.h"

#include <memory>

namespace platform {

// An effect unit: one input, one output, bypassable. Parameters hold still within each stretch
// given to process() (a single frame while a ramp runs), so kernels read them once per stretch.
class AudioUnitEffect : public AudioUnitNode {
public:
    // A pass-through effect; subclasses give it a kernel.
    static std::shared_ptr<AudioUnitEffect> make(const AudioComponentDescription& description,
                                                 std::string name = "Effect");
    std::string typeName() const override { return "AVAudioUnitEffect"; }

    // The value a parameter renders with in the current stretch; render thread only.
    AUValue renderValue(AUParameterAddress address, AUValue fallback = 0) const {
        return auAudioUnit()->currentValue(address, fallback);
    }

protected:
    AudioUnitEffect(const AudioComponentDescription& description, std::string name);
    // Processes `frames` frames; in and out have `channels` pointers each and may be the same.
    virtual void process(const float* const* in, float* const* out, std::uint32_t channels,
                         std::uint32_t frames);
    void render(const RenderContext& context) override;
    AudioFormat defaultOutputFormat(std::uint32_t bus) const override;
};

} // namespace platform
