#include "platform/audio/AudioUnitNode.h"

namespace platform {

AudioUnitNode::AudioUnitNode(const AudioComponentDescription& description, std::uint32_t inputs,
                             std::uint32_t outputs, std::string name)
    : AudioNode(AUAudioUnit::make(description, inputs, outputs)), name_(std::move(name)) {
    auAudioUnit()->setResetHandler([this] { reset(); });
}

} // namespace platform
