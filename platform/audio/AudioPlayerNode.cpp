#include "platform/audio/AudioPlayerNode.h"

#include "platform/audio/AudioEngine.h"

#include <algorithm>
#include <cstring>

namespace platform {

AudioPlayerNode::AudioPlayerNode()
    : AudioNode(AUAudioUnit::make({kAudioUnitType_Generator, kAudioUnitSubType_ScheduledSoundPlayer,
                                   kAudioUnitManufacturer_Apple, 0, 0},
                                  0, 1)) {
    finished_.reserve(64);
}

std::shared_ptr<AudioPlayerNode> AudioPlayerNode::make() {
    return std::shared_ptr<AudioPlayerNode>(new AudioPlayerNode());
}

bool AudioPlayerNode::enqueue(std::unique_ptr<Segment> segment, bool interrupt, bool interruptAtLoop) {
    std::vector<std::unique_ptr<Segment>> dropped;
    {
        std::lock_guard lock(mutex_);
        queue_.erase(queue_.begin(), queue_.begin() + std::ptrdiff_t(head_));
        head_ = 0;
        if (interrupt) {
            std::swap(dropped, queue_);
        } else if (interruptAtLoop) {
            // A looping segment finishes its current pass, then gives way.
            for (auto& s : queue_)
                s->loops = false;
        }
        queue_.push_back(std::move(segment));
        // Room for the rendering thread's hand-over, so that it never grows the list itself.
        if (finished_.capacity() < queue_.size() + finished_.size())
            finished_.reserve(queue_.size() + finished_.size());
    }
    for (auto& s : dropped)
        s->run();
    return true;
}

void AudioPlayerNode::popHead() {
    if (head_ < queue_.size()) retire(std::move(queue_[head_++]));
}

void AudioPlayerNode::retire(std::unique_ptr<Segment> segment) {
    std::unique_ptr<AudioEngine::CycleWork> work = std::move(segment);
    AudioEngine* engine = engineForRender();
    if (finished_.empty() && engine && engine->queueAfterCycle(work)) return;
    finished_.push_back(std::move(work));
}

bool AudioPlayerNode::scheduleBuffer(std::shared_ptr<PCMBuffer> buffer, std::optional<AudioTime> when,
                                     std::uint32_t options, CompletionCallbackType type,
                                     CompletionHandler handler) {
    if (!buffer || !buffer->floatChannelData() || buffer->format().isInterleaved()) return false;
    auto s = std::make_unique<Segment>();
    s->buffer = std::move(buffer);
    s->frames = s->buffer->frameLength();
    s->loops = options & loops;
    if (when && when->isSampleTimeValid()) s->when = when->sampleTime();
    s->type = type;
    s->handler = std::move(handler);
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
    auto s = std::make_unique<Segment>();
    s->file = std::move(file);
    s->start = startingFrame;
    s->frames = std::min<std::int64_t>(frameCount, s->file->length() - startingFrame);
    // The file's samples are read on the rendering thread into scratch made here.
    s->scratch = PCMBuffer::make(s->file->processingFormat(), 4096);
    if (!s->scratch) return false;
    if (when && when->isSampleTimeValid()) s->when = when->sampleTime();
    s->type = type;
    s->handler = std::move(handler);
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
    std::vector<std::unique_ptr<Segment>> dropped;
    {
        auto e = engine();
        std::unique_lock<std::recursive_mutex> graphLock;
        if (e) graphLock = std::unique_lock(e->graphMutex()); // not while a cycle reads the queue
        std::lock_guard lock(mutex_);
        playing_ = false;
        queue_.erase(queue_.begin(), queue_.begin() + std::ptrdiff_t(head_));
        head_ = 0;
        std::swap(dropped, queue_);
        playerTime_ = 0;
        playerStartNodeTime_.reset();
        startAtNodeTime_.reset();
    }
    for (auto& s : dropped)
        s->run();
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
    std::uint32_t n = std::uint32_t(std::min<std::int64_t>(frames, s.frames - s.position));
    if (s.scratch) n = std::min(n, s.scratch->frameCapacity());
    if (n == 0) return 0;
    const float* const* source = nullptr;
    std::uint32_t sourceChannels = 0;
    std::int64_t from = 0;
    if (s.buffer) {
        source = s.buffer->floatChannelData();
        sourceChannels = s.buffer->format().channelCount();
        from = s.start + s.position;
    } else {
        PCMBuffer* scratch = s.scratch.get();
        try {
            s.file->setFramePosition(s.start + s.position);
            s.file->read(*scratch, n);
        } catch (const std::exception&) {
            scratch->setFrameLength(0);
        }
        source = scratch->floatChannelData();
        sourceChannels = scratch->format().channelCount();
        const std::uint32_t got = scratch->frameLength();
        for (std::uint32_t c = 0; c < sourceChannels; ++c)
            std::memset(scratch->floatChannelData()[c] + got, 0, (n - std::min(n, got)) * sizeof(float));
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
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return; // being changed: silence for this cycle
    // Completions the tap queue had no room for last time go first.
    if (!finished_.empty()) {
        AudioEngine* engine = engineForRender();
        std::size_t sent = 0;
        while (sent < finished_.size() && engine && engine->queueAfterCycle(finished_[sent]))
            ++sent;
        finished_.erase(finished_.begin(), finished_.begin() + std::ptrdiff_t(sent));
    }
    sampleRate_ = context.sampleRate;
    const std::uint32_t frames = context.frames;
    if (!playing_ || !head()) {
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
    // its samples without copying. A segment that ends here reaches the tap thread only when the
    // cycle is over, so its samples stay valid for the nodes downstream.
    const std::uint32_t channels = currentOutputFormat(0).channelCount();
    Segment& first = *head();
    if (cursor == 0 && first.buffer && (!first.when || *first.when <= playerTime_) &&
        first.buffer->format().channelCount() == channels && first.frames - first.position >= frames) {
        BusData view;
        view.channels = channels;
        view.frames = frames;
        view.silent = false;
        for (std::uint32_t c = 0; c < channels; ++c)
            view.data[c] = first.buffer->floatChannelData()[c] + first.start + first.position;
        setOutputView(0, view);
        first.position += frames;
        playerTime_ += frames;
    } else {
        float* const* out = outputChannels(0, frames);
        for (std::uint32_t c = 0; c < channels; ++c)
            std::memset(out[c], 0, cursor * sizeof(float));
        while (cursor < frames) {
            Segment* s = head();
            if (!s) break;
            if (s->when && *s->when > playerTime_) {
                const std::uint32_t gap =
                    std::uint32_t(std::min<std::int64_t>(*s->when - playerTime_, frames - cursor));
                for (std::uint32_t c = 0; c < channels; ++c)
                    std::memset(out[c] + cursor, 0, gap * sizeof(float));
                cursor += gap;
                playerTime_ += gap;
                continue;
            }
            const std::uint32_t n = copySegment(*s, out, channels, cursor, frames - cursor);
            cursor += n;
            playerTime_ += n;
            if (s->position >= s->frames) {
                if (s->loops && s->frames > 0) {
                    s->position = 0;
                    continue;
                }
                popHead();
            }
        }
        for (std::uint32_t c = 0; c < channels; ++c)
            std::memset(out[c] + cursor, 0, (frames - cursor) * sizeof(float));
    }
    if (Segment* s = head(); s && s->position >= s->frames) {
        if (s->loops)
            s->position = 0;
        else
            popHead();
    }
}

} // namespace platform
