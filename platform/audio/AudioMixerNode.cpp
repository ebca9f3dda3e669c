#include "platform/audio/AudioMixerNode.h"

#include "platform/audio/AudioEngine.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace platform {

namespace {

// The side away from the pan is attenuated linearly; at the centre both sides pass at unity.
void balanceGains(float pan, float& left, float& right) {
    left = pan > 0 ? 1.0f - pan : 1.0f;
    right = pan < 0 ? 1.0f + pan : 1.0f;
}

inline void mixChannel(float* out, const float* in, float gain, std::uint32_t frames, bool first) {
    if (first) {
        if (gain == 1.0f)
            std::memcpy(out, in, frames * sizeof(float));
        else
            for (std::uint32_t i = 0; i < frames; ++i)
                out[i] = in[i] * gain;
    } else {
        for (std::uint32_t i = 0; i < frames; ++i)
            out[i] += in[i] * gain;
    }
}

inline void zeroOrKeep(float* out, std::uint32_t frames, bool first) {
    if (first) std::memset(out, 0, frames * sizeof(float));
}

} // namespace

AudioMixerNode::AudioMixerNode()
    : AudioNode(AUAudioUnit::make(
          {kAudioUnitType_Mixer, kAudioUnitSubType_MultiChannelMixer, kAudioUnitManufacturer_Apple, 0, 0}, 1,
          1, true)) {}

std::shared_ptr<AudioMixerNode> AudioMixerNode::make() {
    return std::shared_ptr<AudioMixerNode>(new AudioMixerNode());
}

void AudioMixerNode::setOutputVolume(float volume) {
    if (std::isnan(volume)) return;
    outputVolume_.store(std::max(volume, 0.0f));
}

std::uint32_t AudioMixerNode::nextAvailableInputBus() const {
    auto e = engine();
    std::unique_lock<std::recursive_mutex> lock;
    if (e) lock = std::unique_lock(e->graphMutex());
    const std::uint32_t count = numberOfInputs();
    for (std::uint32_t bus = 0; bus < count; ++bus)
        if (!graphInputConnected(bus)) return bus;
    return count;
}

void AudioMixerNode::reset() {
    resetInputConversions();
}

void AudioMixerNode::connectionsChanged() {
    prepareInputConversions();
}

void AudioMixerNode::render(const RenderContext& context) {
    const std::uint32_t frames = context.frames;
    const std::uint32_t outChannels = currentOutputFormat(0).channelCount();
    const float master = outputVolume();
    const std::uint32_t inputCount = inputBusCountForRender();
    std::uint32_t connected = 0, lastBus = 0;
    for (std::uint32_t bus = 0; bus < inputCount; ++bus)
        if (isInputConnected(bus)) {
            ++connected;
            lastBus = bus;
        }
    // One input at unity gain, centred, in the output's layout: its samples pass through uncopied.
    const BusData* single = connected == 1 ? pullInputAtOutputRate(context, lastBus) : nullptr;
    if (single && single->frames >= frames && single->channels == outChannels && !single->silent) {
        const auto* source = inputSource(lastBus);
        if (master * (source ? source->volume() : 1.0f) == 1.0f && (source ? source->pan() : 0.0f) == 0.0f) {
            setOutputView(0, *single);
            return;
        }
    }
    float* const* out = outputChannels(0, frames);
    bool first = true;
    for (std::uint32_t bus = 0; bus < inputCount; ++bus) {
        if (!isInputConnected(bus)) continue;
        const BusData* in = connected == 1 ? single : pullInputAtOutputRate(context, bus);
        if (!in || in->frames < frames) continue;
        const auto* source = inputSource(bus);
        const float gain = master * (source ? source->volume() : 1.0f);
        const float pan = source ? source->pan() : 0.0f;
        if (in->silent || gain == 0.0f) {
            for (std::uint32_t c = 0; c < outChannels; ++c)
                zeroOrKeep(out[c], frames, first);
        } else if (outChannels == 2 && (in->channels == 1 || in->channels == 2)) {
            float left, right;
            balanceGains(pan, left, right);
            mixChannel(out[0], in->data[0], gain * left, frames, first);
            mixChannel(out[1], in->data[in->channels == 2 ? 1 : 0], gain * right, frames, first);
        } else if (in->channels == 1) {
            for (std::uint32_t c = 0; c < outChannels; ++c)
                mixChannel(out[c], in->data[0], gain, frames, first);
        } else if (outChannels == 1) {
            const float share = gain / float(in->channels);
            for (std::uint32_t c = 0; c < in->channels; ++c)
                mixChannel(out[0], in->data[c], share, frames, first && c == 0);
        } else {
            for (std::uint32_t c = 0; c < outChannels; ++c) {
                if (c < in->channels)
                    mixChannel(out[c], in->data[c], gain, frames, first);
                else
                    zeroOrKeep(out[c], frames, first);
            }
        }
        first = false;
    }
    if (first) setOutputSilent(0, frames);
}

} // namespace platform
