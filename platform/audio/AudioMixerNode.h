#pragma once
#include "platform/audio/AudioNode.h"

#include <atomic>
#include <memory>

namespace platform {

// Sums any number of inputs into one output. Each input is weighed by its source's volume and
// balanced by its pan; inputs at another rate are converted; the sum is scaled by outputVolume.
class AudioMixerNode : public AudioNode {
public:
    static std::shared_ptr<AudioMixerNode> make();

    float outputVolume() const { return outputVolume_.load(std::memory_order_relaxed); }
    void setOutputVolume(float volume);
    // The lowest input bus with nothing connected (the bus count when all are taken).
    std::uint32_t nextAvailableInputBus() const;

    std::string typeName() const override { return "AVAudioMixerNode"; }
    void reset() override;

protected:
    AudioMixerNode();
    void render(const RenderContext& context) override;
    void connectionsChanged() override;

private:
    std::atomic<float> outputVolume_{1.0f};
};

} // namespace platform
