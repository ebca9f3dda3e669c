#include "platform/audio/AudioNode.h"

#include "platform/audio/AudioEngine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace platform {

struct AudioNode::Tap {
    std::uint32_t bufferSize = 0;
    AudioFormat format;
    TapBlock block;
    std::shared_ptr<PCMBuffer> filling;
    std::int64_t firstSampleTime = 0;
    std::uint64_t firstHostTime = 0;
    bool firstHostTimeValid = false;
};

AudioNode::AudioNode(std::shared_ptr<AUAudioUnit> unit) : unit_(std::move(unit)) {
    outputs_.resize(unit_->outputBusses().count());
}

AudioNode::~AudioNode() = default;

std::uint32_t AudioNode::numberOfInputs() const {
    return unit_->inputBusses().count();
}
std::uint32_t AudioNode::numberOfOutputs() const {
    return unit_->outputBusses().count();
}

AudioFormat AudioNode::inputFormat(std::uint32_t bus) const {
    auto engine = engine_.lock();
    std::unique_lock<std::recursive_mutex> lock;
    if (engine) lock = std::unique_lock(engine->graphMutex());
    if (bus < inputs_.size() && inputs_[bus]) return inputs_[bus]->format;
    return defaultOutputFormat(0);
}

AudioFormat AudioNode::outputFormat(std::uint32_t bus) const {
    auto engine = engine_.lock();
    std::unique_lock<std::recursive_mutex> lock;
    if (engine) lock = std::unique_lock(engine->graphMutex());
    if (bus < outputs_.size() && outputs_[bus].format) return *outputs_[bus].format;
    return defaultOutputFormat(bus);
}

AudioFormat AudioNode::defaultOutputFormat(std::uint32_t) const {
    return *AudioFormat::standard(44100, 2);
}

std::optional<AudioTime> AudioNode::lastRenderTime() const {
    auto engine = engine_.lock();
    if (!engine || !engine->isRunning() || !hasRenderTime_.load()) return std::nullopt;
    const std::int64_t sample = lastSampleTime_.load();
    const double rate = lastSampleRate_.load();
    if (lastHostTimeValid_.load())
        return AudioTime::withHostAndSampleTime(lastHostTime_.load(), sample, rate);
    return AudioTime::withSampleTime(sample, rate);
}

void AudioNode::reset() {}

void AudioNode::setVolume(float volume) {
    if (std::isnan(volume)) return;
    volume_.store(std::max(volume, 0.0f));
}

void AudioNode::setPan(float pan) {
    if (std::isnan(pan)) return;
    pan_.store(std::clamp(pan, -1.0f, 1.0f));
}

bool AudioNode::isInputConnected(std::uint32_t bus) const {
    return bus < inputs_.size() && inputs_[bus];
}

const AudioNode* AudioNode::inputSource(std::uint32_t bus) const {
    return bus < inputs_.size() && inputs_[bus] ? inputs_[bus]->source : nullptr;
}

AudioFormat AudioNode::currentInputFormat(std::uint32_t bus) const {
    if (bus < inputs_.size() && inputs_[bus]) return inputs_[bus]->format;
    return defaultOutputFormat(0);
}

AudioFormat AudioNode::currentOutputFormat(std::uint32_t bus) const {
    if (bus < outputs_.size() && outputs_[bus].format) return *outputs_[bus].format;
    return defaultOutputFormat(bus);
}

std::string AudioNode::description() const {
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
    std::string out = "<";
    out.append(typeName()).append(" ").append(address).append(">");
    return out;
}

AudioNode::Output& AudioNode::output(std::uint32_t bus) {
    return outputs_[bus];
}

bool AudioNode::installTap(std::uint32_t bus, std::uint32_t bufferSize, std::optional<AudioFormat> format,
                           TapBlock block) {
    if (bus >= outputs_.size() || !block) return false;
    const AudioFormat busFormat = outputFormat(bus);
    if (format && !format->isEmpty() &&
        (format->sampleRate() != busFormat.sampleRate() ||
         format->channelCount() != busFormat.channelCount()))
        return false;
    if (bufferSize == 0 || bufferSize > (1u << 24)) return false;
    auto tap = std::make_unique<Tap>();
    tap->bufferSize = bufferSize;
    tap->format = busFormat;
    tap->block = std::move(block);
    std::lock_guard lock(tapMutex_);
    if (outputs_[bus].tap) return false;
    outputs_[bus].tap = std::move(tap);
    return true;
}

void AudioNode::removeTap(std::uint32_t bus) {
    std::unique_ptr<Tap> old;
    std::lock_guard lock(tapMutex_);
    if (bus < outputs_.size()) old = std::move(outputs_[bus].tap);
}

const AudioNode::BusData& AudioNode::pull(const RenderContext& context, std::uint32_t bus) {
    if (renderedCycle_ != context.cycle) {
        renderedCycle_ = context.cycle;
        for (auto& out : outputs_)
            out.view.frames = 0;
        unit_->beginRender(context.sampleTime, context.frames);
        render(context);
        for (std::uint32_t b = 0; b < outputs_.size(); ++b)
            if (outputs_[b].view.frames != context.frames) setOutputSilent(b, context.frames);
        lastSampleTime_.store(context.sampleTime);
        lastHostTime_.store(context.hostTime);
        lastHostTimeValid_.store(context.hostTimeValid);
        lastSampleRate_.store(context.sampleRate);
        hasRenderTime_.store(true);
        deliverTaps(context);
    }
    return outputs_[bus].view;
}

const AudioNode::BusData* AudioNode::pullInput(const RenderContext& context, std::uint32_t bus) {
    if (bus >= inputs_.size() || !inputs_[bus]) return nullptr;
    return &inputs_[bus]->source->pull(context, inputs_[bus]->bus);
}

float* const* AudioNode::outputChannels(std::uint32_t bus, std::uint32_t frames) {
    Output& out = outputs_[bus];
    const AudioFormat format = out.format ? *out.format : defaultOutputFormat(bus);
    const std::uint32_t channels = format.channelCount();
    const std::size_t needed = std::size_t(channels) * frames;
    if (out.storage.size() < needed) out.storage.resize(needed);
    out.view.channels = channels;
    out.view.frames = frames;
    out.view.silent = false;
    for (std::uint32_t c = 0; c < channels; ++c) {
        out.writable[c] = out.storage.data() + std::size_t(c) * frames;
        out.view.data[c] = out.writable[c];
    }
    return out.writable.data();
}

void AudioNode::setOutputView(std::uint32_t bus, const BusData& view) {
    outputs_[bus].view = view;
}

void AudioNode::setOutputSilent(std::uint32_t bus, std::uint32_t frames) {
    float* const* channels = outputChannels(bus, frames);
    for (std::uint32_t c = 0; c < outputs_[bus].view.channels; ++c)
        std::memset(channels[c], 0, frames * sizeof(float));
    outputs_[bus].view.silent = true;
}

void AudioNode::deliverTaps(const RenderContext& context) {
    std::lock_guard lock(tapMutex_);
    for (auto& out : outputs_) {
        Tap* tap = out.tap.get();
        if (!tap) continue;
        const BusData& view = out.view;
        std::uint32_t done = 0;
        while (done < view.frames) {
            if (!tap->filling) {
                tap->filling = PCMBuffer::make(tap->format, tap->bufferSize);
                if (!tap->filling) return;
                tap->firstSampleTime = context.sampleTime + done;
                tap->firstHostTime = context.hostTime;
                tap->firstHostTimeValid = context.hostTimeValid && done == 0;
            }
            PCMBuffer& buffer = *tap->filling;
            const std::uint32_t n =
                std::min(view.frames - done, buffer.frameCapacity() - buffer.frameLength());
            const std::uint32_t channels = std::min(view.channels, buffer.format().channelCount());
            for (std::uint32_t c = 0; c < channels; ++c)
                std::memcpy(buffer.floatChannelData()[c] + buffer.frameLength(), view.data[c] + done,
                            n * sizeof(float));
            buffer.setFrameLength(buffer.frameLength() + n);
            done += n;
            if (buffer.frameLength() == buffer.frameCapacity()) {
                const AudioTime when =
                    tap->firstHostTimeValid
                        ? AudioTime::withHostAndSampleTime(tap->firstHostTime, tap->firstSampleTime,
                                                           context.sampleRate)
                        : AudioTime::withSampleTime(tap->firstSampleTime, context.sampleRate);
                if (renderEngine_)
                    renderEngine_->afterCycle(
                        [block = tap->block, full = std::move(tap->filling), when] { block(full, when); });
                tap->filling.reset();
            }
        }
    }
}

} // namespace platform
