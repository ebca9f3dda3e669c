#pragma once
#include "platform/audio/AudioNode.h"

#include <functional>
#include <memory>

namespace platform {

// The engine's audio input. In manual rendering its samples come from a block the client gives;
// otherwise from the input device (silence when there is none).
class AudioInputNode : public AudioNode {
public:
    // Returns a buffer with at least `frames` frames in the given format, or null when it has none.
    using InputBlock = std::function<const PCMBuffer*(std::uint32_t frames)>;

    static std::shared_ptr<AudioInputNode> make();
    // False for a non-float format.
    bool setManualRenderingInputPCMFormat(const AudioFormat& format, InputBlock block);
    // The device's input format; rate 0 when there is no input device.
    void setHardwareFormat(const AudioFormat& format);
    std::string typeName() const override { return "AVAudioInputNode"; }

    // True when the block had nothing during the last cycle.
    bool starvedInLastCycle() const { return starved_; }

protected:
    AudioInputNode();
    void render(const RenderContext& context) override;
    AudioFormat defaultOutputFormat(std::uint32_t bus) const override;

private:
    AudioFormat format_ = *AudioFormat::standard(44100, 2);
    InputBlock block_;
    bool starved_ = false;
};

} // namespace platform
