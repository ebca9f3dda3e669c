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

void AudioOutputNode::render(const RenderContext& context) {
    const std::uint32_t frames = context.frames;
    if (!isInputConnected(0)) return; // silence
    const AudioFormat inFormat = currentInputFormat(0);
    const std::uint32_t outChannels = renderFormat_.channelCount();
    const BusData* in = nullptr;
    if (inFormat.sampleRate() != renderFormat_.sampleRate()) {
        if (!converter_ || converter_->channels() != inFormat.channelCount() ||
            converter_->inputRate() != inFormat.sampleRate() ||
            converter_->outputRate() != renderFormat_.sampleRate())
            converter_ = std::make_unique<SampleRateConverter>(inFormat.channelCount(), inFormat.sampleRate(),
                                                               renderFormat_.sampleRate());
        float* const* out = outputChannels(0, frames);
        // Converted input lands in the output storage when the channel counts agree, else in a copy.
        if (inFormat.channelCount() == outChannels) {
            AudioEngine* engine = engineForRender();
            converter_->process(frames, out,
                                [&](std::uint32_t n, const float* const** data) -> std::uint32_t {
                                    RenderContext sub = context;
                                    sub.cycle = engine ? engine->nextCycle() : context.cycle + 1;
                                    sub.sampleTime = inputSampleTime_;
                                    sub.sampleRate = inFormat.sampleRate();
                                    sub.frames = n;
                                    sub.hostTimeValid = false;
                                    const BusData* pulled = pullInput(sub, 0);
                                    if (!pulled) return 0;
                                    inputSampleTime_ += n;
                                    *data = pulled->data.data();
                                    return pulled->frames;
                                });
            return;
        }
        return; // differing rate and channel count together: not supported, silence
    }
    in = pullInput(context, 0);
    if (!in || in->frames < frames) return;
    if (in->channels == outChannels) {
        setOutputView(0, *in);
        return;
    }
    float* const* out = outputChannels(0, frames);
    for (std::uint32_t c = 0; c < outChannels; ++c) {
        const float* src = in->channels == 1 ? in->data[0] : (c < in->channels ? in->data[c] : nullptr);
        if (src)
            std::memcpy(out[c], src, frames * sizeof(float));
        else
            std::memset(out[c], 0, frames * sizeof(float));
    }
}

} // namespace platform
