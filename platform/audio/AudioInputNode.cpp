#include "platform/audio/AudioInputNode.h"

#include "platform/audio/AudioEngine.h"

#include <cstring>

namespace platform {

AudioInputNode::AudioInputNode()
    : AudioNode(AUAudioUnit::make(
          {kAudioUnitType_Output, kAudioUnitSubType_HALOutput, kAudioUnitManufacturer_Apple, 0, 0}, 0, 1)) {}

std::shared_ptr<AudioInputNode> AudioInputNode::make() {
    return std::shared_ptr<AudioInputNode>(new AudioInputNode());
}

bool AudioInputNode::setManualRenderingInputPCMFormat(const AudioFormat& format, InputBlock block) {
    if (!format.isStandard()) return false;
    auto e = engine();
    std::unique_lock<std::recursive_mutex> lock;
    if (e) lock = std::unique_lock(e->graphMutex());
    format_ = format;
    block_ = std::move(block);
    return true;
}

void AudioInputNode::setHardwareFormat(const AudioFormat& format) {
    auto e = engine();
    std::unique_lock<std::recursive_mutex> lock;
    if (e) lock = std::unique_lock(e->graphMutex());
    if (!block_) format_ = format;
}

AudioFormat AudioInputNode::defaultOutputFormat(std::uint32_t) const {
    return format_;
}

void AudioInputNode::render(const RenderContext& context) {
    starved_ = false;
    if (!block_) return; // silence
    const PCMBuffer* buffer = block_(context.frames);
    if (!buffer || buffer->frameLength() < context.frames || !buffer->floatChannelData()) {
        starved_ = true;
        return;
    }
    float* const* out = outputChannels(0, context.frames);
    const std::uint32_t channels = currentOutputFormat(0).channelCount();
    for (std::uint32_t c = 0; c < channels; ++c) {
        const std::uint32_t from = c < buffer->format().channelCount() ? c : 0;
        std::memcpy(out[c], buffer->floatChannelData()[from], context.frames * sizeof(float));
    }
}

} // namespace platform
