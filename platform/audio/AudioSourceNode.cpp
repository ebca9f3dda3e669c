#include "platform/audio/AudioSourceNode.h"

#include <cstring>

namespace platform {

AudioSourceNode::AudioSourceNode(RenderBlock block, std::optional<AudioFormat> format)
    : AudioNode(AUAudioUnit::make({kAudioUnitType_Generator, AudioComponentDescription::code("srcn"),
                                   kAudioUnitManufacturer_Apple, 0, 0},
                                  0, 1)),
      block_(std::move(block)), format_(std::move(format)) {}

std::shared_ptr<AudioSourceNode> AudioSourceNode::make(RenderBlock block, std::optional<AudioFormat> format) {
    if (!block || (format && !format->isStandard())) return nullptr;
    return std::shared_ptr<AudioSourceNode>(new AudioSourceNode(std::move(block), std::move(format)));
}

AudioFormat AudioSourceNode::defaultOutputFormat(std::uint32_t bus) const {
    return format_ ? *format_ : AudioNode::defaultOutputFormat(bus);
}

void AudioSourceNode::render(const RenderContext& context) {
    float* const* out = outputChannels(0, context.frames);
    const std::uint32_t channels = currentOutputFormat(0).channelCount();
    bool silent = false;
    const AudioTime time =
        context.hostTimeValid
            ? AudioTime::withHostAndSampleTime(context.hostTime, context.sampleTime, context.sampleRate)
            : AudioTime::withSampleTime(context.sampleTime, context.sampleRate);
    if (block_(silent, time, context.frames, out, channels) != noErr || silent)
        setOutputSilent(0, context.frames);
}

} // namespace platform
