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

void AudioOutputNode::render(const RenderContext& context) {
    const std::uint32_t frames = context.frames;
    if (!isInputConnected(0)) return; // silence
    const AudioFormat inFormat = currentInputFormat(0);
    const std::uint32_t inChannels = inFormat.channelCount();
    const std::uint32_t outChannels = renderFormat_.channelCount();
    if (inFormat.sampleRate() != renderFormat_.sampleRate()) {
        if (!converter_ || converter_->channels() != inChannels ||
            converter_->inputRate() != inFormat.sampleRate() ||
            converter_->outputRate() != renderFormat_.sampleRate())
            converter_ = std::make_unique<SampleRateConverter>(inChannels, inFormat.sampleRate(),
                                                               renderFormat_.sampleRate());
        float* const* out = outputChannels(0, frames);
        // Converted input lands in the output storage when the channel counts agree, else in scratch
        // storage that is then spread over the output channels.
        float* const* target = out;
        if (inChannels != outChannels) {
            if (converted_.size() < std::size_t(inChannels) * frames)
                converted_.resize(std::size_t(inChannels) * frames);
            for (std::uint32_t c = 0; c < inChannels; ++c)
                convertedChannels_[c] = converted_.data() + std::size_t(c) * frames;
            target = convertedChannels_.data();
        }
        AudioEngine* engine = engineForRender();
        converter_->process(frames, target, [&](std::uint32_t n, const float* const** data) -> std::uint32_t {
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
        if (target != out) copyChannels(target, inChannels, out, outChannels, frames);
        return;
    }
    const BusData* in = pullInput(context, 0);
    if (!in || in->frames < frames) return;
    if (in->channels == outChannels) {
        setOutputView(0, *in);
        return;
    }
    copyChannels(in->data.data(), in->channels, outputChannels(0, frames), outChannels, frames);
}

} // namespace platform
