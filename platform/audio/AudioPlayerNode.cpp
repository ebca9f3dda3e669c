#include "platform/audio/AudioPlayerNode.h"

#include "platform/audio/AudioEngine.h"
#include "platform/core/BackgroundJobs.h"
#include "platform/core/SemaphoreWait.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <semaphore.h>

namespace platform {

namespace {
constexpr std::int64_t kReadAheadFrames = 32768;
constexpr std::uint32_t kReadChunkFrames = 4096;
constexpr auto kReaderNap = std::chrono::milliseconds(5);
// Offline rendering waits this long at most for the reader; then the frames it lacks are silence.
constexpr auto kOfflineReadWait = std::chrono::seconds(10);
std::atomic<void (*)()> readerPassHook{nullptr};
} // namespace

void AudioPlayerNode::setReaderPassHookForTesting(void (*hook)()) {
    readerPassHook.store(hook);
}

// A file segment's samples, read ahead into a ring made when it is scheduled: the reader writes,
// the rendering thread reads, each moving its own count.
struct AudioPlayerNode::FileStream {
    std::shared_ptr<AudioFile> file;
    std::int64_t start = 0;  // in the file
    std::int64_t frames = 0; // of the segment
    std::uint32_t channels = 0;
    std::int64_t capacity = 0;
    std::vector<float> ring; // channel c from c * capacity
    std::shared_ptr<PCMBuffer> scratch;
    Reader* reader = nullptr; // alive while its player is
    std::atomic<std::int64_t> written{0};
    std::atomic<std::int64_t> consumed{0};
    std::atomic<bool> cancelled{false};

    // Reads what fits; false once the whole segment is in. A file that cannot be read gives silence.
    bool fill() {
        std::int64_t w = written.load(std::memory_order_relaxed);
        while (w < frames) {
            if (cancelled.load(std::memory_order_relaxed)) return false;
            const std::int64_t played = consumed.load(std::memory_order_acquire);
            if (w < played) {
                // Rendering played these as silence: they are never read, so never heard late.
                w = std::min(played, frames);
                written.store(w, std::memory_order_release);
                continue;
            }
            const std::int64_t room = capacity - (w - played);
            if (room <= 0) return true;
            const auto n = std::uint32_t(std::min({room, frames - w, std::int64_t(kReadChunkFrames)}));
            std::uint32_t got = 0;
            try {
                // A file scheduled twice is read from two threads: each seek stays with its read.
                static std::mutex seekAndRead;
                std::lock_guard lock(seekAndRead);
                file->setFramePosition(start + w);
                file->read(*scratch, n);
                got = std::min(scratch->frameLength(), n);
            } catch (const std::exception&) {
                got = 0;
            }
            for (std::uint32_t c = 0; c < channels; ++c) {
                float* to = ring.data() + std::size_t(c) * std::size_t(capacity);
                const float* from = scratch->floatChannelData()[c];
                for (std::uint32_t i = 0; i < n; ++i)
                    to[(w + i) % capacity] = i < got ? from[i] : 0.0f;
            }
            w += n;
            written.store(w, std::memory_order_release);
        }
        return false;
    }
};

// The player's reader thread: tops up the rings of its file segments, woken by the rendering thread
// when one runs half empty, and every few milliseconds.
struct AudioPlayerNode::Reader {
    std::mutex mutex;
    std::condition_variable filled; // after each pass
    std::vector<std::shared_ptr<FileStream>> streams;
    bool ending = false;
    sem_t wake;
    std::atomic<bool> sleeping{false};

    Reader() { sem_init(&wake, 0, 0); }
    ~Reader() { sem_destroy(&wake); }

    // Any thread, the rendering one too: sem_post neither locks nor allocates.
    void poke() {
        if (sleeping.exchange(false)) sem_post(&wake);
    }
    void add(std::shared_ptr<FileStream> stream) {
        {
            std::lock_guard lock(mutex);
            streams.push_back(std::move(stream));
        }
        poke();
    }
    void end() {
        std::lock_guard lock(mutex);
        ending = true;
        sem_post(&wake);
    }
    static void loop(const std::shared_ptr<Reader>& self) {
        std::vector<std::shared_ptr<FileStream>> work;
        for (;;) {
            if (auto hook = readerPassHook.load()) hook();
            {
                std::lock_guard lock(self->mutex);
                if (self->ending) break;
                work = self->streams;
            }
            std::vector<FileStream*> done;
            for (auto& stream : work)
                if (!stream->fill()) done.push_back(stream.get());
            {
                std::lock_guard lock(self->mutex);
                std::erase_if(self->streams, [&](const auto& s) {
                    return std::find(done.begin(), done.end(), s.get()) != done.end();
                });
                self->filled.notify_all();
            }
            work.clear();
            self->sleeping.store(true);
            waitForPost(self->wake, kReaderNap);
            self->sleeping.store(false);
        }
        std::lock_guard lock(self->mutex);
        self->streams.clear();
        self->ending = true;
        self->filled.notify_all();
    }
    // Offline rendering: waits until the stream holds `frames` frames, or the reader gave up on it.
    void waitFor(FileStream& stream, std::int64_t frames) {
        std::unique_lock lock(mutex);
        poke();
        filled.wait_for(lock, kOfflineReadWait,
                        [&] { return ending || stream.cancelled.load() || stream.written.load() >= frames; });
    }
};

AudioPlayerNode::Segment::~Segment() {
    if (stream) stream->cancelled.store(true, std::memory_order_relaxed);
}

AudioPlayerNode::~AudioPlayerNode() {
    if (reader_) reader_->end();
    // Nothing renders a player being destroyed: what finished runs here, then what never played.
    flushParked(nullptr);
    std::vector<std::shared_ptr<Ticket>> dropped;
    {
        std::lock_guard lock(mutex_);
        dropped = dropAll();
    }
    for (const auto& t : dropped)
        std::exchange(t->handler, nullptr)(t->type);
    takeIncoming();
    queue_.destroy();
}

void AudioPlayerNode::flushParked(AudioEngine* engine) {
    for (Segment* s = parked_.takeAll(); s;) {
        Segment* next = std::exchange(s->next, nullptr);
        std::unique_ptr<AudioEngine::CycleWork> work(s);
        if (engine) {
            engine->queueWorkFromOutside(std::move(work));
        } else {
            work->run();
        }
        s = next;
    }
}

void AudioPlayerNode::renderingEnded(AudioEngine& engine) {
    flushParked(&engine);
}

void AudioPlayerNode::SegmentList::append(Segment* s) {
    s->next = nullptr;
    (tail ? tail->next : head) = s;
    tail = s;
}

AudioPlayerNode::Segment* AudioPlayerNode::SegmentList::pop() {
    Segment* s = head;
    if (!s) return nullptr;
    head = s->next;
    if (!head) tail = nullptr;
    s->next = nullptr;
    return s;
}

void AudioPlayerNode::SegmentList::destroy() {
    while (Segment* s = pop())
        delete s;
}

void AudioPlayerNode::takeIncoming() {
    Segment* ordered = incoming_.takeAll();
    while (ordered) {
        Segment* next = ordered->next;
        queue_.append(ordered);
        ordered = next;
    }
}

AudioPlayerNode::AudioPlayerNode()
    : AudioNode(AUAudioUnit::make({kAudioUnitType_Generator, kAudioUnitSubType_ScheduledSoundPlayer,
                                   kAudioUnitManufacturer_Apple, 0, 0},
                                  0, 1)) {}

std::shared_ptr<AudioPlayerNode> AudioPlayerNode::make() {
    return std::shared_ptr<AudioPlayerNode>(new AudioPlayerNode());
}

bool AudioPlayerNode::enqueue(std::unique_ptr<Segment> segment, bool interrupt, bool interruptAtLoop) {
    std::vector<std::shared_ptr<Ticket>> dropped;
    {
        std::lock_guard lock(mutex_);
        if (interrupt) dropped = dropAll();
        if (segment->ticket) {
            // Those that completed go now and then, so that scheduling stays cheap however many wait.
            if (pendingTickets_.size() >= pruneAt_) {
                std::erase_if(pendingTickets_,
                              [](const auto& t) { return t->state.load() != Ticket::pending; });
                pruneAt_ = std::max<std::size_t>(16, 2 * pendingTickets_.size());
            }
            pendingTickets_.push_back(segment->ticket);
        }
        const std::int64_t order = segment->order = nextOrder_++;
        Segment* s = segment.release();
        incoming_.push(s);
        // Published after the segment, so that rendering never finds the queue cut and the
        // newcomer missing.
        if (interrupt) cut_.store(order << kStopBits | (stops_ & kStopMask), std::memory_order_release);
        // A looping segment finishes its current pass, then gives way.
        if (interruptAtLoop) loopsEndBefore_.store(order, std::memory_order_release);
    }
    release(dropped);
    return true;
}

std::vector<std::shared_ptr<AudioPlayerNode::Ticket>> AudioPlayerNode::dropAll() {
    std::vector<std::shared_ptr<Ticket>> dropped;
    for (auto& t : pendingTickets_)
        if (t->claim(Ticket::dropped)) dropped.push_back(std::move(t));
    pendingTickets_.clear();
    return dropped;
}

void AudioPlayerNode::popHead(AudioEngine* engine) {
    if (Segment* s = queue_.pop()) retire(s, true, engine);
}

void AudioPlayerNode::retire(Segment* segment, bool finished, AudioEngine* engine) {
    segment->completed = finished && (!segment->ticket || segment->ticket->claim(Ticket::completed));
    std::unique_ptr<AudioEngine::CycleWork> work(segment);
    if (!parked_.mayHaveItems() && engine && engine->queueAfterCycle(work)) return;
    parked_.push(static_cast<Segment*>(work.release()));
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
    if (handler) {
        s->ticket = std::make_shared<Ticket>();
        s->ticket->type = type;
        s->ticket->handler = std::move(handler);
    }
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
    auto stream = std::make_shared<FileStream>();
    stream->start = startingFrame;
    stream->frames = std::min<std::int64_t>(frameCount, file->length() - startingFrame);
    stream->channels = file->processingFormat().channelCount();
    stream->capacity = std::max<std::int64_t>(1, std::min(stream->frames, kReadAheadFrames));
    stream->ring.resize(std::size_t(stream->channels) * std::size_t(stream->capacity));
    stream->scratch = PCMBuffer::make(file->processingFormat(), kReadChunkFrames);
    if (!stream->scratch) return false;
    stream->file = std::move(file);
    // The start is read here, so that it plays from the first cycle; the reader reads the rest.
    if (stream->fill()) {
        std::lock_guard lock(readerMutex_);
        if (!reader_) {
            reader_ = std::make_shared<Reader>();
            BackgroundJobs::shared().run([reader = reader_] { Reader::loop(reader); });
        }
        stream->reader = reader_.get();
        reader_->add(stream);
    }
    auto s = std::make_unique<Segment>();
    s->start = 0;
    s->frames = stream->frames;
    s->stream = std::move(stream);
    if (when && when->isSampleTimeValid()) s->when = when->sampleTime();
    if (handler) {
        s->ticket = std::make_shared<Ticket>();
        s->ticket->type = type;
        s->ticket->handler = std::move(handler);
    }
    return enqueue(std::move(s), false, false);
}

void AudioPlayerNode::play() {
    startAtNodeTime_.store(kNoTime, std::memory_order_relaxed);
    playing_.store(true, std::memory_order_release);
}

void AudioPlayerNode::play(const AudioTime& when) {
    if (when.isSampleTimeValid()) startAtNodeTime_.store(when.sampleTime(), std::memory_order_relaxed);
    playing_.store(true, std::memory_order_release);
}

void AudioPlayerNode::pause() {
    playing_.store(false);
}

void AudioPlayerNode::stop() {
    std::vector<std::shared_ptr<Ticket>> dropped;
    {
        std::lock_guard lock(mutex_);
        playing_.store(false);
        dropped = dropAll();
        ++stops_;
        cut_.store(nextOrder_ << kStopBits | (stops_ & kStopMask), std::memory_order_release);
        playerStartNodeTime_.store(kNoTime);
        startAtNodeTime_.store(kNoTime);
    }
    release(dropped);
    // Completions still parked for the tap thread run after what it has, even if nothing renders
    // the player again.
    flushParked(engine().get());
}

void AudioPlayerNode::release(const std::vector<std::shared_ptr<Ticket>>& dropped) {
    if (dropped.empty()) return;
    // A cycle under way may still play them; the next one drops them.
    if (auto e = engine()) e->waitForCycleInProgress();
    for (const auto& t : dropped)
        std::exchange(t->handler, nullptr)(t->type);
}

bool AudioPlayerNode::isPlaying() const {
    return playing_.load();
}

void AudioPlayerNode::reset() {
    stop();
}

std::optional<AudioTime> AudioPlayerNode::playerTime(const AudioTime& nodeTime) const {
    const std::int64_t start = playerStartNodeTime_.load();
    if (!playing_.load() || start == kNoTime || !nodeTime.isSampleTimeValid()) return std::nullopt;
    return AudioTime::withSampleTime(nodeTime.sampleTime() - start, nodeTime.sampleRate());
}

std::optional<AudioTime> AudioPlayerNode::nodeTime(const AudioTime& playerTime) const {
    const std::int64_t start = playerStartNodeTime_.load();
    if (!playing_.load() || start == kNoTime || !playerTime.isSampleTimeValid()) return std::nullopt;
    return AudioTime::withSampleTime(playerTime.sampleTime() + start, playerTime.sampleRate());
}

std::uint32_t AudioPlayerNode::copySegment(Segment& s, float* const* out, std::uint32_t channels,
                                           std::uint32_t offset, std::uint32_t frames, bool mayBlock) {
    std::uint32_t n = std::uint32_t(std::min<std::int64_t>(frames, s.frames - s.position));
    if (n == 0) return 0;
    if (s.buffer) {
        const float* const* source = s.buffer->floatChannelData();
        const std::uint32_t sourceChannels = s.buffer->format().channelCount();
        const std::int64_t from = s.start + s.position;
        for (std::uint32_t c = 0; c < channels; ++c) {
            if (c >= sourceChannels && sourceChannels != 1)
                std::memset(out[c] + offset, 0, n * sizeof(float));
            else
                std::memcpy(out[c] + offset, source[sourceChannels == 1 ? 0 : c] + from, n * sizeof(float));
        }
        s.position += n;
        return n;
    }
    // A file: what the reader has read, and silence in place of what it has not read in time, so
    // that the player keeps its schedule.
    FileStream& f = *s.stream;
    n = std::uint32_t(std::min<std::int64_t>(n, f.capacity));
    // Offline rendering is exact: it waits for the reader rather than play what it has not read.
    if (mayBlock && f.reader && f.written.load(std::memory_order_acquire) < s.position + n)
        f.reader->waitFor(f, s.position + n);
    const auto ready =
        std::uint32_t(std::clamp<std::int64_t>(f.written.load(std::memory_order_acquire) - s.position, 0, n));
    const std::int64_t at = s.position % f.capacity;
    const auto first = std::uint32_t(std::min<std::int64_t>(ready, f.capacity - at));
    for (std::uint32_t c = 0; c < channels; ++c) {
        if (c >= f.channels && f.channels != 1) {
            std::memset(out[c] + offset, 0, n * sizeof(float));
            continue;
        }
        const float* ring = f.ring.data() + std::size_t(f.channels == 1 ? 0 : c) * std::size_t(f.capacity);
        std::memcpy(out[c] + offset, ring + at, first * sizeof(float));
        std::memcpy(out[c] + offset + first, ring, (ready - first) * sizeof(float));
        std::memset(out[c] + offset + ready, 0, (n - ready) * sizeof(float));
    }
    if (ready < n) underruns_.fetch_add(n - ready, std::memory_order_relaxed);
    s.position += n;
    f.consumed.store(s.position, std::memory_order_release);
    if (f.reader && f.written.load(std::memory_order_relaxed) < f.frames &&
        2 * (f.written.load(std::memory_order_relaxed) - s.position) < f.capacity)
        f.reader->poke();
    return n;
}

void AudioPlayerNode::render(const RenderContext& context) {
    // The cycle's engine, even when the player was detached while the cycle was under way: what it
    // finishes still reaches that engine's tap thread.
    AudioEngine* engine = context.engine;
    // Completions the tap queue had no room for last time go first; what still finds no room goes
    // back, in the same order.
    if (engine && parked_.mayHaveItems())
        for (Segment* s = parked_.takeAll(); s;) {
            Segment* next = std::exchange(s->next, nullptr);
            std::unique_ptr<AudioEngine::CycleWork> work(s);
            if (!engine->queueAfterCycle(work)) {
                parked_.push(static_cast<Segment*>(work.release()));
                while (next) {
                    Segment* rest = next->next;
                    parked_.push(next);
                    next = rest;
                }
                break;
            }
            s = next;
        }
    const std::int64_t cut = cut_.load(std::memory_order_acquire);
    const std::int64_t loopsEndBefore = loopsEndBefore_.load(std::memory_order_acquire);
    takeIncoming();
    while (head() && head()->order < cut >> kStopBits)
        retire(queue_.pop(), false, engine);
    if ((cut & kStopMask) != stopsSeen_) {
        stopsSeen_ = cut & kStopMask;
        playerTime_ = 0;
        playerStartNodeTime_.store(kNoTime);
    }
    const auto keepsLooping = [&](const Segment& s) { return s.loops && s.order >= loopsEndBefore; };
    sampleRate_ = context.sampleRate;
    const std::uint32_t frames = context.frames;
    const bool playing = playing_.load(std::memory_order_acquire);
    if (!playing || !head()) {
        if (playing && playerStartNodeTime_.load(std::memory_order_relaxed) != kNoTime) playerTime_ += frames;
        return; // silence
    }
    std::uint32_t cursor = 0;
    std::int64_t startAt = startAtNodeTime_.load(std::memory_order_relaxed);
    if (startAt != kNoTime && startAt > context.sampleTime) {
        const std::int64_t wait = startAt - context.sampleTime;
        if (wait >= frames) return;
        cursor = std::uint32_t(wait);
    }
    if (playerStartNodeTime_.load(std::memory_order_relaxed) == kNoTime)
        playerStartNodeTime_.store(context.sampleTime + cursor);
    // Only the start it acted on: a play(at:) that came meanwhile stays.
    if (startAt != kNoTime) startAtNodeTime_.compare_exchange_strong(startAt, kNoTime);

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
            const std::uint32_t wanted = frames - cursor;
            const std::uint32_t n = copySegment(*s, out, channels, cursor, wanted, context.mayBlock);
            cursor += n;
            playerTime_ += n;
            if (s->position >= s->frames) {
                if (keepsLooping(*s) && s->frames > 0) {
                    s->position = 0;
                    continue;
                }
                popHead(engine);
            }
        }
        for (std::uint32_t c = 0; c < channels; ++c)
            std::memset(out[c] + cursor, 0, (frames - cursor) * sizeof(float));
    }
    if (Segment* s = head(); s && s->position >= s->frames) {
        if (keepsLooping(*s))
            s->position = 0;
        else
            popHead(engine);
    }
}

} // namespace platform
