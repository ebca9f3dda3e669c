#include "platform/audio/AudioUnitEffect.h"

#include <cstring>

namespace platform {

AudioUnitEffect::AudioUnitEffect(const AudioComponentDescription& description, std::string name)
    : AudioUnitNode(description, 1, 1, std::move(name)) {}

std::shared_ptr<AudioUnitEffect> AudioUnitEffect::make(const AudioComponentDescription& description,
                                                       std::string name) {
    return std::shared_ptr<AudioUnitEffect>(new AudioUnitEffect(description, std::move(name)));
}

AudioFormat AudioUnitEffect::defaultOutputFormat(std::uint32_t bus) const {
    // An effect's output follows its input.
    return graphInputConnected(0) ? graphInputFormat(0) : AudioNode::defaultOutputFormat(bus);
}

void AudioUnitEffect::process(const float* const* in, float* const* out, std::uint32_t channels,
                              std::uint32_t frames) {
    for (std::uint32_t c = 0; c < channels; ++c)
        if (in[c] != out[c]) std::memcpy(out[c], in[c], frames * sizeof(float));
}

void AudioUnitEffect::render(const RenderContext& context) {
    const BusData* in = pullInput(context, 0);
    if (!in || in->frames < context.frames) return; // silence
    AUAudioUnit& unit = *auAudioUnit();
    if (unit.shouldBypassEffect()) {
        unit.applyEventsDue(context.sampleTime + context.frames - 1);
        setOutputView(0, *in);
        return;
    }
    float* const* out = outputChannels(0, context.frames);
    const std::uint32_t channels = std::min(in->channels, currentOutputFormat(0).channelCount());
    std::uint32_t cursor = 0;
    std::array<const float*, kMaxChannels> inAt{};
    std::array<float*, kMaxChannels> outAt{};
    while (cursor < context.frames) {
        unit.applyEventsDue(context.sampleTime + cursor);
        const std::uint32_t n =
            unit.framesUntilNextChange(context.sampleTime + cursor, context.frames - cursor);
        for (std::uint32_t c = 0; c < channels; ++c) {
            inAt[c] = in->data[c] + cursor;
            outAt[c] = out[c] + cursor;
        }
        process(inAt.data(), outAt.data(), channels, n);
        unit.advanceRamps(n);
        cursor += n;
    }
}

} // namespace platform
