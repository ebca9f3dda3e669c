#pragma once
// The sampler node over the platform's sampler unit. Made without a file: the unit is created and
// nothing is loaded.
#include "platform/audio/AUAudioUnit.h"
#include "platform/audio/AudioFile.h"
#include "platform/audio/AudioUnitSampler.h"
#include "sonabel/nodes/Node.h"

#include <atomic>
#include <memory>
#include <vector>

namespace sonabel {

class AppleSampler : public virtual Node {
public:
    AppleSampler();

    const std::shared_ptr<platform::AudioUnitSampler> samplerUnit;

    std::vector<std::shared_ptr<Node>> connections() const override { return {}; }
    std::shared_ptr<platform::AudioNode> avAudioNode() const override { return samplerUnit; }

    // The unit's audio unit once set up.
    std::shared_ptr<platform::AUAudioUnit> internalAU() const { return internalAU_; }
    const std::vector<std::shared_ptr<platform::AudioFile>>& audioFiles() const { return audioFiles_; }
    // What an observer registration returned; none while nothing is observed.
    const std::shared_ptr<void>& token() const { return token_; }

    virtual float amplitude() const { return amplitude_.load(std::memory_order_relaxed); }
    virtual void setAmplitude(float amplitude) { amplitude_.store(amplitude, std::memory_order_relaxed); }
    // Passed on to the unit's mixing volume and pan.
    virtual float volume() const { return volume_.load(std::memory_order_relaxed); }
    virtual void setVolume(float volume);
    virtual float pan() const { return pan_.load(std::memory_order_relaxed); }
    virtual void setPan(float pan);

    using Node::stop;
    virtual void play(std::uint8_t noteNumber, std::uint8_t velocity, std::uint8_t channel);
    virtual void stop(std::uint8_t noteNumber, std::uint8_t channel);

private:
    std::shared_ptr<platform::AUAudioUnit> internalAU_;
    std::vector<std::shared_ptr<platform::AudioFile>> audioFiles_;
    std::shared_ptr<void> token_;
    std::atomic<float> amplitude_{0.0f};
    std::atomic<float> volume_{1.0f};
    std::atomic<float> pan_{0.0f};
};

} // namespace sonabel
