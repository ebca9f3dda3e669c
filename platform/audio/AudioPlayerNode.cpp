#include "platform/audio/AudioPlayerNode.h"

#include "platform/audio/AudioEngine.h"

#include <algorithm>
#include <cstring>

namespace platform {

AudioPlayerNode::AudioPlayerNode()
    : AudioNode(AUAudioUnit::make({kAudioUnitType_Generator, kAudioUnitSubType_ScheduledSoundPlayer,
                                   kAudioUnitManufacturer_Apple, 0, 0},
                                  0, 1)) {}

std::shared_ptr<AudioPlayerNode> AudioPlayerNode::make() {
    return std::shared_ptr<AudioPlayerNode>(new AudioPlayerNode());
}

bool AudioPlayerNode::enqueue(Segment segment, bool interrupt, bool interruptAtLoop) {
    std::vector<Segment> dropped;
    {
        std::lock_guard lock(mutex_);
        if (interrupt) {
            dropped.assign(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.end()));
            queue_.clear();
        } else if (interruptAtLoop) {
            // A looping segment finishes its current pass, then gives way.
            for (auto& s : queue_)
                s.loops = false;
        }
        queue_.push_back(std::move(segment));
    }
    for (auto& s : dropped)
        if (s.handler) s.handler(s.type);
    return true;
}

bool AudioPlayerNode::scheduleBuffer(std::shared_ptr<PCMBuffer> buffer, std::optional<AudioTime> when,
                                     std::uint32_t options, CompletionCallbackType type,
                                     CompletionHandler handler) {
    if (!buffer || !buffer->floatChannelData() || buffer->format().isInterleaved()) return false;
    Segment s;
    s.buffer = std::move(buffer);
    s.frames = s.buffer->frameLength();
    s.loops = options & loops;
    if (when && when->isSampleTimeValid()) s.when = when->sampleTime();
    s.type = type;
    s.handler = std::move(handler);
    return enqueue(std::move(s), options & interrupts, options & interruptsAtLoop);
}

bool AudioPlayerNode::scheduleFile(std::shared_ptr<AudioFile> file, std::optional<AudioTime> when,
                                   CompletionCallbackType type, CompletionHandler handler) {
    if (!file) return false;
    const std::int64_t length = file->length();
    return scheduleSegment(std::move(file), 0, std::uint32_t(std::min<std::int64_t>(length, UINT32_MAX)),
                           when, type, std::move(handler));
}

bool AudioPlayerNode::scheduleSegment(std::shared_ptr<AudioFile> file, std::int64_t startingFrame,
                                      std::uint32_t frameCount, std::optional<AudioTime> when,
                                      CompletionCallbackType type, CompletionHandler handler) {
    if (!file || !file->isOpen() || startingFrame < 0 || startingFrame > file->length()) return false;
    if (!file->processingFormat().isStandard()) return false;
    Segment s;
    s.file = std::move(file);
    s.start = startingFrame;
    s.frames = std::min<std::int64_t>(frameCount, s.file->length() - startingFrame);
    if (when && when->isSampleTimeValid()) s.when = when->sampleTime();
    s.type = type;
    s.handler = std::move(handler);
    return enqueue(std::move(s), false, false);
}

void AudioPlayerNode::play() {
    std::lock_guard lock(mutex_);
    playing_ = true;
    startAtNodeTime_.reset();
}

void AudioPlayerNode::play(const AudioTime& when) {
    std::lock_guard lock(mutex_);
    playing_ = true;
    if (when.isSampleTimeValid()) startAtNodeTime_ = when.sampleTime();
}

void AudioPlayerNode::pause() {
    std::lock_guard lock(mutex_);
    playing_ = false;
}

void AudioPlayerNode::stop() {
    std::vector<Segment> dropped;
    {
        auto e = engine();
        std::unique_lock<std::recursive_mutex> graphLock;
        if (e) graphLock = std::unique_lock(e->graphMutex()); // not while a cycle reads the queue
        std::lock_guard lock(mutex_);
        playing_ = false;
        dropped.assign(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.end()));
        queue_.clear();
        playerTime_ = 0;
        playerStartNodeTime_.reset();
        startAtNodeTime_.reset();
    }
    for (auto& s : dropped)
        if (s.handler) s.handler(s.type);
}

bool AudioPlayerNode::isPlaying() const {
    std::lock_guard lock(mutex_);
    return playing_;
}

void AudioPlayerNode::reset() {
    stop();
}

std::optional<AudioTime> AudioPlayerNode::playerTime(const AudioTime& nodeTime) const {
    std::lock_guard lock(mutex_);
    if (!playing_ || !playerStartNodeTime_ || !nodeTime.isSampleTimeValid()) return std::nullopt;
    return AudioTime::withSampleTime(nodeTime.sampleTime() - *playerStartNodeTime_, nodeTime.sampleRate());
}

std::optional<AudioTime> AudioPlayerNode::nodeTime(const AudioTime& playerTime) const {
    std::lock_guard lock(mutex_);
    if (!playing_ || !playerStartNodeTime_ || !playerTime.isSampleTimeValid()) return std::nullopt;
    return AudioTime::withSampleTime(playerTime.sampleTime() + *playerStartNodeTime_,
                                     playerTime.sampleRate());
}

std::uint32_t AudioPlayerNode::copySegment(Segment& s, float* const* out, std::uint32_t channels,
                                           std::uint32_t offset, std::uint32_t frames) {
    const std::uint32_t n = std::uint32_t(std::min<std::int64_t>(frames, s.frames - s.position));
    if (n == 0) return 0;
    const float* const* source = nullptr;
    std::uint32_t sourceChannels = 0;
    std::int64_t from = 0;
    if (s.buffer) {
        source = s.buffer->floatChannelData();
        sourceChannels = s.buffer->format().channelCount();
        from = s.start + s.position;
    } else {
        if (!fileScratch_ || fileScratch_->format() != s.file->processingFormat() ||
            fileScratch_->frameCapacity() < n)
            fileScratch_ = PCMBuffer::make(s.file->processingFormat(), std::max<std::uint32_t>(n, 4096));
        try {
            s.file->setFramePosition(s.start + s.position);
            s.file->read(*fileScratch_, n);
        } catch (const std::exception&) {
            fileScratch_->setFrameLength(0);
        }
        source = fileScratch_->floatChannelData();
        sourceChannels = fileScratch_->format().channelCount();
        const std::uint32_t got = fileScratch_->frameLength();
        for (std::uint32_t c = 0; c < sourceChannels; ++c)
            std::memset(fileScratch_->floatChannelData()[c] + got, 0, (n - std::min(n, got)) * sizeof(float));
    }
    for (std::uint32_t c = 0; c < channels; ++c) {
        const float* src = source[sourceChannels == 1 ? 0 : std::min(c, sourceChannels - 1)] + from;
        if (c >= sourceChannels && sourceChannels != 1)
            std::memset(out[c] + offset, 0, n * sizeof(float));
        else
            std::memcpy(out[c] + offset, src, n * sizeof(float));
    }
    s.position += n;
    return n;
}

void AudioPlayerNode::render(const RenderContext& context) {
    std::unique_lock lock(mutex_);
    retired_.clear();
    sampleRate_ = context.sampleRate;
    const std::uint32_t frames = context.frames;
    if (!playing_ || queue_.empty()) {
        if (playing_ && playerStartNodeTime_) playerTime_ += frames;
        return; // silence
    }
    std::uint32_t cursor = 0;
    if (startAtNodeTime_ && *startAtNodeTime_ > context.sampleTime) {
        const std::int64_t wait = *startAtNodeTime_ - context.sampleTime;
        if (wait >= frames) return;
        cursor = std::uint32_t(wait);
    }
    if (!playerStartNodeTime_) playerStartNodeTime_ = context.sampleTime + cursor;
    startAtNodeTime_.reset();

    // The common case: one buffer covers the whole cycle in the output's channel layout; hand out
    // its samples without copying.
    const std::uint32_t channels = currentOutputFormat(0).channelCount();
    Segment& head = queue_.front();
    if (cursor == 0 && head.buffer && (!head.when || *head.when <= playerTime_) &&
        head.buffer->format().channelCount() == channels && head.frames - head.position >= frames) {
        BusData view;
        view.channels = channels;
        view.frames = frames;
        view.silent = false;
        for (std::uint32_t c = 0; c < channels; ++c)
            view.data[c] = head.buffer->floatChannelData()[c] + head.start + head.position;
        setOutputView(0, view);
        head.position += frames;
        playerTime_ += frames;
    } else {
        float* const* out = outputChannels(0, frames);
        for (std::uint32_t c = 0; c < channels; ++c)
            std::memset(out[c], 0, cursor * sizeof(float));
        while (cursor < frames) {
            if (queue_.empty()) break;
            Segment& s = queue_.front();
            if (s.when && *s.when > playerTime_) {
                const std::uint32_t gap =
                    std::uint32_t(std::min<std::int64_t>(*s.when - playerTime_, frames - cursor));
                for (std::uint32_t c = 0; c < channels; ++c)
                    std::memset(out[c] + cursor, 0, gap * sizeof(float));
                cursor += gap;
                playerTime_ += gap;
                continue;
            }
            const std::uint32_t n = copySegment(s, out, channels, cursor, frames - cursor);
            cursor += n;
            playerTime_ += n;
            if (s.position >= s.frames) {
                if (s.loops && s.frames > 0) {
                    s.position = 0;
                    continue;
                }
                if (s.buffer) retired_.push_back(s.buffer);
                finished_.push_back(std::move(s));
                queue_.pop_front();
            }
        }
        for (std::uint32_t c = 0; c < channels; ++c)
            std::memset(out[c] + cursor, 0, (frames - cursor) * sizeof(float));
    }
    if (!queue_.empty() && queue_.front().position >= queue_.front().frames && !queue_.front().loops) {
        if (queue_.front().buffer) retired_.push_back(queue_.front().buffer);
        finished_.push_back(std::move(queue_.front()));
        queue_.pop_front();
    } else if (!queue_.empty() && queue_.front().loops && queue_.front().position >= queue_.front().frames) {
        queue_.front().position = 0;
    }
    if (!finished_.empty()) {
        auto done = std::move(finished_);
        finished_.clear();
        lock.unlock();
        if (AudioEngine* engine = engineForRender())
            engine->afterCycle([done = std::move(done)] {
                for (const auto& s : done)
                    if (s.handler) s.handler(s.type);
            });
    }
}

} // namespace platform
