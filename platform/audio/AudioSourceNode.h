#pragma once
#include "platform/audio/AudioNode.h"

#include <functional>
#include <memory>

namespace platform {

// A node whose samples come from a block called on the render thread for every cycle.
class AudioSourceNode : public AudioNode {
public:
    // Fills `frames` frames of every channel; sets isSilence when it wrote only zeros.
    using RenderBlock =
        std::function<OSStatus(bool& isSilence, const AudioTime& timestamp, std::uint32_t frames,
                               float* const* channels, std::uint32_t channelCount)>;

    static std::shared_ptr<AudioSourceNode> make(RenderBlock block,
                                                 std::optional<AudioFormat> format = std::nullopt);
    std::string typeName() const override { return "AVAudioSourceNode"; }

protected:
    AudioSourceNode(RenderBlock block, std::optional<AudioFormat> format);
    void render(const RenderContext& context) override;
    AudioFormat defaultOutputFormat(std::uint32_t bus) const override;

private:
    RenderBlock block_;
    std::optional<AudioFormat> format_;
};

} // namespace platform
