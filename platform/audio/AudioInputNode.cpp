#include "platform/audio/AudioInputNode.h"

#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioUnitCalls.h"
#include "platform/core/HostClock.h"
#include "platform/core/LogSink.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

namespace platform {

AudioInputNode::AudioInputNode()
    : AudioNode(AUAudioUnit::make(
          {kAudioUnitType_Output, kAudioUnitSubType_HALOutput, kAudioUnitManufacturer_Apple, 0, 0}, 0, 1)) {}

std::shared_ptr<AudioInputNode> AudioInputNode::make() {
    auto node = std::shared_ptr<AudioInputNode>(new AudioInputNode());
    std::weak_ptr<AudioInputNode> weak = node;
    node->auAudioUnit()->setPropertyHandlers(
        kAudioOutputUnitProperty_ChannelMap,
        [weak](AudioUnitScope, AudioUnitElement, void* data, std::uint32_t* size) -> OSStatus {
            auto self = weak.lock();
            if (!self) return kAudioUnitErr_Uninitialized;
            const auto map = self->channelMap();
            const auto bytes = static_cast<std::uint32_t>(map.size() * sizeof(std::int32_t));
            if (data) {
                if (*size < bytes) return kAudio_ParamError;
                std::memcpy(data, map.data(), bytes);
            }
            *size = bytes;
            return noErr;
        },
        [weak](AudioUnitScope scope, AudioUnitElement element, const void* data, std::uint32_t size) {
            auto self = weak.lock();
            return self ? self->setChannelMap(scope, element, data, size) : kAudioUnitErr_Uninitialized;
        });
    return node;
}

std::vector<std::int32_t> AudioInputNode::channelMap() const {
    std::lock_guard lock(mapMutex_);
    return channelMap_;
}

OSStatus AudioInputNode::setChannelMap(AudioUnitScope scope, AudioUnitElement element, const void* data,
                                       std::uint32_t size) {
    if (scope != kAudioUnitScope_Output) return kAudioUnitErr_InvalidScope;
    if (element != 1) return kAudioUnitErr_InvalidElement;
    if (size % sizeof(std::int32_t) != 0 || (size > 0 && !data) ||
        size / sizeof(std::int32_t) > AudioFormat::maxChannelCount)
        return kAudioUnitErr_InvalidPropertyValue;
    std::vector<std::int32_t> map(size / sizeof(std::int32_t));
    if (size > 0) std::memcpy(map.data(), data, size);
    auto e = engine();
    AudioEngine::GraphChange change(e.get());
    {
        std::lock_guard lock(mapMutex_);
        channelMap_ = std::move(map);
    }
    // A connected bus carries the mapped channels from the next cycle on, as taps installed now expect.
    if (e) e->setConnectedOutputFormat(*this, 0, defaultOutputFormat(0));
    return noErr;
}

bool AudioInputNode::setManualRenderingInputPCMFormat(const AudioFormat& format, InputBlock block) {
    if (!format.isStandard()) return false;
    auto e = engine();
    AudioEngine::GraphChange change(e.get());
    format_ = format;
    block_ = block ? std::make_shared<InputBlock>(std::move(block)) : nullptr;
    return true;
}

void AudioInputNode::setHardwareFormat(const AudioFormat& format) {
    auto e = engine();
    AudioEngine::GraphChange change(e.get());
    if (block_) return;
    format_ = format;
    // A connected bus carries the device's frames at their own rate from the next cycle on, and the
    // inputs it feeds convert from it. Without an input device the connection keeps what it had.
    if (e && format.sampleRate() > 0 && format.channelCount() > 0)
        e->setConnectedOutputFormat(*this, 0, defaultOutputFormat(0));
}

AudioFormat AudioInputNode::defaultOutputFormat(std::uint32_t) const {
    std::lock_guard lock(mapMutex_);
    if (channelMap_.empty()) return format_;
    auto mapped = AudioFormat::standard(format_.sampleRate(), std::uint32_t(channelMap_.size()));
    return mapped ? *mapped : format_;
}

void AudioInputNode::setCaptureRing(std::shared_ptr<AudioRingBuffer> ring) {
    auto e = engine();
    AudioEngine::GraphChange change(e.get());
    ring_ = std::move(ring);
}

std::shared_ptr<const void> AudioInputNode::renderExtras() const {
    auto published = std::make_shared<Published>();
    published->block = block_;
    published->ring = ring_;
    published->map = channelMap();
    return published;
}

std::shared_ptr<AudioRingBuffer> AudioInputNode::captureRing() const {
    auto e = engine();
    std::unique_lock<std::recursive_mutex> lock;
    if (e) lock = std::unique_lock(e->graphMutex());
    return ring_;
}

AudioFormat AudioInputNode::hardwareFormat() const {
    auto e = engine();
    std::unique_lock<std::recursive_mutex> lock;
    if (e) lock = std::unique_lock(e->graphMutex());
    return format_;
}

void AudioInputNode::reportCaptureLosses(const RenderContext& context, AudioRingBuffer& ring) {
    if (countedRing_ != ring.serial()) {
        countedRing_ = ring.serial();
        reportedOverruns_ = reportedUnderruns_ = reportedDiscarded_ = 0;
        lastReport_ = 0;
    }
    // Counted here, written by the tap thread; at most once a second.
    if (!context.hostTimeValid) return;
    const std::uint64_t overruns = ring.overrunFrames();
    const std::uint64_t underruns = ring.underrunFrames();
    const std::uint64_t discarded = ring.discardedFrames();
    if (overruns == reportedOverruns_ && underruns == reportedUnderruns_ && discarded == reportedDiscarded_)
        return;
    if (lastReport_ != 0 && context.hostTime - lastReport_ < HostClock::ticksPerSecond) return;
    AudioEngine* engine = context.engine;
    if (!engine || !engine->queueCaptureReport(overruns - reportedOverruns_, underruns - reportedUnderruns_,
                                               discarded - reportedDiscarded_))
        return;
    reportedOverruns_ = overruns;
    reportedUnderruns_ = underruns;
    reportedDiscarded_ = discarded;
    lastReport_ = context.hostTime ? context.hostTime : 1;
}

void AudioInputNode::render(const RenderContext& context) {
    starved_ = false;
    const auto* published = static_cast<const Published*>(publishedExtras());
    if (!published) return; // silence
    const std::vector<std::int32_t>& map = published->map;
    AudioRingBuffer* ring = published->ring.get();
    if (!published->block && ring) {
        float* const* out = outputChannels(0, context.frames);
        const std::uint32_t channels = currentOutputFormat(0).channelCount();
        std::array<std::int32_t, kMaxChannels> source; // only `channels` of them are read
        for (std::uint32_t c = 0; c < channels; ++c)
            source[c] =
                map.empty() ? std::int32_t(c < ring->channels() ? c : 0) : (c < map.size() ? map[c] : -1);
        // Frames the ring dropped or trimmed never reach a take: recorders write silence in their
        // place, so a take lasts as long as the time it recorded. Underruns are silence already.
        if (gapRing_ != ring->serial()) {
            gapRing_ = ring->serial();
            taken_ = overrunsSeen_ = discardedSeen_ = 0;
            gapCount_ = 0;
        }
        // Frames discarded since the last read were the oldest: they go before this read's.
        const std::uint64_t discarded = ring->discardedFrames();
        if (discarded != discardedSeen_) {
            addLostInputFrames(discarded - discardedSeen_, 0);
            taken_ += discarded - discardedSeen_;
        }
        // Read before the ring moves on: each overrun counted here happened at the position it has now.
        const std::uint64_t overruns = ring->overrunFrames();
        if (overruns != overrunsSeen_) {
            const Gap gap{taken_ + ring->capacity(), overruns - overrunsSeen_};
            if (gapCount_ > 0 && gaps_[gapCount_ - 1].at == gap.at)
                gaps_[gapCount_ - 1].frames += gap.frames;
            else if (gapCount_ < kGaps)
                gaps_[gapCount_++] = gap;
            else // far more gaps than a ring's length holds: the last one takes them, a little late
                gaps_[kGaps - 1].frames += gap.frames;
            overrunsSeen_ = overruns;
        }
        const std::uint64_t start = taken_;
        const std::uint32_t got = ring->read(out, source.data(), channels, context.frames);
        taken_ += got;
        // Each gap the read passed sits where its frames would have been.
        std::size_t passed = 0;
        for (; passed < gapCount_ && gaps_[passed].at <= taken_; ++passed)
            addLostInputFrames(gaps_[passed].frames,
                               std::uint32_t(std::max(gaps_[passed].at, start) - start));
        std::copy(gaps_.begin() + std::ptrdiff_t(passed), gaps_.begin() + std::ptrdiff_t(gapCount_),
                  gaps_.begin());
        gapCount_ -= passed;
        // A trim drops the oldest frames, right after what this read gave out.
        discardedSeen_ = ring->discardedFrames();
        if (const std::uint64_t trimmed = discardedSeen_ - discarded) {
            addLostInputFrames(trimmed, got);
            taken_ += trimmed;
        }
        reportCaptureLosses(context, *ring);
        return;
    }
    if (!published->block) return; // silence
    const PCMBuffer* buffer = (*published->block)(context.frames);
    if (!buffer || buffer->frameLength() < context.frames || !buffer->floatChannelData()) {
        starved_ = true;
        return;
    }
    float* const* out = outputChannels(0, context.frames);
    const std::uint32_t channels = currentOutputFormat(0).channelCount();
    const std::uint32_t available = buffer->format().channelCount();
    for (std::uint32_t c = 0; c < channels; ++c) {
        if (map.empty()) {
            const std::uint32_t from = c < available ? c : 0;
            std::memcpy(out[c], buffer->floatChannelData()[from], context.frames * sizeof(float));
            continue;
        }
        // Unmapped outputs and device channels that do not exist stay silent.
        const std::int32_t from = c < map.size() ? map[c] : -1;
        if (from >= 0 && std::uint32_t(from) < available)
            std::memcpy(out[c], buffer->floatChannelData()[from], context.frames * sizeof(float));
        else
            std::memset(out[c], 0, context.frames * sizeof(float));
    }
}

} // namespace platform
