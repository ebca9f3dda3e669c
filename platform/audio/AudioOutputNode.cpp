#include "platform/audio/AudioOutputNode.h"

#include "platform/audio/AudioEngine.h"

#include <cstring>

namespace platform {

AudioOutputNode::AudioOutputNode()
    : AudioNode(AUAudioUnit::make(
          {kAudioUnitType_Output, kAudioUnitSubType_GenericOutput, kAudioUnitManufacturer_Apple, 0, 0}, 1,
          1)) {}

std::shared_ptr<AudioOutputNode> AudioOutputNode::make() {
    return std::shared_ptr<AudioOutputNode>(new AudioOutputNode());
}

AUAudioUnit* AudioOutputNode::audioUnit() const {
    auto e = engine();
    return e && e->ioBackend() ? auAudioUnit().get() : nullptr;
}

AudioFormat AudioOutputNode::defaultOutputFormat(std::uint32_t) const {
    return renderFormat_;
}

namespace {
// Mono reaches every output channel; otherwise channel by channel, missing ones silent.
void copyChannels(const float* const* in, std::uint32_t inChannels, float* const* out,
                  std::uint32_t outChannels, std::uint32_t frames) {
    for (std::uint32_t c = 0; c < outChannels; ++c) {
        const float* src = inChannels == 1 ? in[0] : (c < inChannels ? in[c] : nullptr);
        if (src)
            std::memcpy(out[c], src, frames * sizeof(float));
        else
            std::memset(out[c], 0, frames * sizeof(float));
    }
}
} // namespace

void AudioOutputNode::connectionsChanged() {
    prepareInputConversions();
}

void AudioOutputNode::render(const RenderContext& context) {
    const std::uint32_t frames = context.frames;
    const BusData* in = pullInputAtOutputRate(context, 0);
    if (!in || in->frames < frames) return; // silence
    const std::uint32_t outChannels = currentOutputFormat(0).channelCount();
    if (in->channels == outChannels) {
        setOutputView(0, *in);
        return;
    }
    copyChannels(in->data.data(), in->channels, outputChannels(0, frames), outChannels, frames);
}

} // namespace platform
