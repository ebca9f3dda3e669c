#include "sonabel/nodes/playback/sampler/AppleSampler.h"

namespace sonabel {

AppleSampler::AppleSampler()
    : samplerUnit(platform::AudioUnitSampler::make()), internalAU_(samplerUnit->auAudioUnit()) {}

void AppleSampler::setVolume(float volume) {
    volume_.store(volume, std::memory_order_relaxed);
    samplerUnit->setVolume(volume);
}

void AppleSampler::setPan(float pan) {
    pan_.store(pan, std::memory_order_relaxed);
    samplerUnit->setPan(pan);
}

void AppleSampler::play(std::uint8_t noteNumber, std::uint8_t velocity, std::uint8_t channel) {
    samplerUnit->startNote(noteNumber, velocity, channel);
}

void AppleSampler::stop(std::uint8_t noteNumber, std::uint8_t channel) {
    samplerUnit->stopNote(noteNumber, channel);
}

} // namespace sonabel
