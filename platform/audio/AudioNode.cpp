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
    TapSilenceBlock silence;
    TapTakeBlock takeChanged;
    TapKind kind = TapKind::analysis;
    // A recorder's take: set by the recorder, read by rendering once a cycle.
    alignas(64) std::atomic<std::uint64_t> take{0};
    std::uint64_t renderTake = 0; // rendering thread: the take of the frames it fills
    // Tap thread: the take told last, and the highest one told.
    std::uint64_t deliveredTake = 0;
    std::uint64_t lastTake = 0;
    std::vector<std::shared_ptr<PCMBuffer>> pool;
    // True while a slot is being filled or waits for the tap thread.
    std::unique_ptr<std::atomic<bool>[]> busy;
    // Slots handed to the tap thread and not yet back are the difference of two counts, each
    // written by one side on a line of its own: a line both write would move between the cores on
    // every block.
    alignas(64) std::atomic<std::uint64_t> returned{0}; // tap thread
    // Rendering thread only.
    alignas(64) std::uint64_t handed = 0;
    std::uint64_t returnedSeen = 0; // `returned` when last looked at
    std::optional<std::uint32_t> filling;
    std::uint32_t filled = 0;     // frames in the buffer being filled; its length is set once it is full
    std::uint32_t skipping = 0;   // frames of a block that had no buffer, still to pass
    std::uint32_t lostFrames = 0; // since the last delivery
    std::uint32_t zeroed = 0;     // frames of the buffer being filled that are silence for lost input
    std::int64_t firstSampleTime = 0;
    std::uint64_t firstHostTime = 0;
    bool firstHostTimeValid = false;
    std::int64_t endSampleTime = 0; // after the last frame seen
    double sampleRate = 0;
    // Every frame ever added to `lostFrames`; written by the rendering thread alone, read by a stop
    // that cannot wait for the next block to carry their silence.
    alignas(64) std::atomic<std::uint64_t> lostCounted{0};
    // Tap thread: frames lost as the deliveries told them one by one, and frames given as silence. A
    // loss may be told twice, by a stop's count and by the block after it, and is silence once.
    alignas(64) std::uint64_t lostTold = 0;
    std::uint64_t lostSilenced = 0;
    std::int64_t deliveredEnd = 0; // after the last frame given
    double deliveredRate = 0;

    // Rendering thread.
    void addLost(std::uint64_t frames) {
        const auto before = lostFrames;
        lostFrames = std::uint32_t(std::min<std::uint64_t>(lostFrames + frames, ~0u));
        lostCounted.store(lostCounted.load(std::memory_order_relaxed) + (lostFrames - before),
                          std::memory_order_release);
    }
};

namespace {
constexpr std::uint32_t kNoSlot = ~0u; // a delivery of lost frames alone
// Rendering runs every device period while the input is captured: a loss longer than this between
// two cycles is a fault in the counting, and silence that long would ruin a take.
constexpr double kLongestTrueLossSeconds = 600;
} // namespace

// What one converting input has taken of its source's feed. A converter rebuilt for a larger cycle
// takes it over, so that the input carries on where it was.
struct ConversionProgress {
    bool started = false;
    std::int64_t position = 0;  // the source's next frame, at its rate
    std::uint64_t lostSeen = 0; // the source's losses, in its frames, passed on so far
    std::uint64_t gapsSeen = 0; // of the source's fed gaps
    // A source frame and the frame of this node it plays at, so that a loss in the source's time line
    // is placed in this node's.
    std::int64_t sourceStart = 0;
    std::int64_t start = 0;
    // Input lost before the source, in its frames and in this node's: each cycle passes on the
    // difference, so no fraction of a frame goes missing between cycles.
    std::uint64_t lostIn = 0;
    std::uint64_t lostOut = 0;
};

struct AudioNode::Conversion {
    Conversion(std::uint32_t channels, double from, double to, std::uint32_t maximumFrames,
               std::shared_ptr<ConversionProgress> carried)
        : converter(channels, from, to, maximumFrames), scratch(std::size_t(channels) * maximumFrames),
          progress(carried ? std::move(carried) : std::make_shared<ConversionProgress>()) {}
    SampleRateConverter converter;
    std::vector<float> scratch;
    std::array<float*, kMaxChannels> channels{};
    std::array<const float*, kMaxChannels> pulled{};
    std::shared_ptr<ConversionProgress> progress;
    BusData view;
};

// The frames a node rendered for its converting inputs, at its own rate, kept until the slowest of
// them has taken them: inputs at several rates, or several at one, take the same frames, so the node
// renders each frame once.
struct AudioNode::Feed {
    Feed(std::uint32_t channels, std::uint32_t capacity)
        : channels(channels), capacity(capacity), samples(std::size_t(channels) * capacity) {}
    const std::uint32_t channels;
    const std::uint32_t capacity;
    std::vector<float> samples; // channel c from c * capacity; frame t at t % capacity
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

std::uint32_t AudioNode::inputBusCountForRender() const {
    return render_ ? std::uint32_t(render_->inputs.size()) : 0;
}

bool AudioNode::isInputConnected(std::uint32_t bus) const {
    return render_ && bus < render_->inputs.size() && render_->inputs[bus];
}

const AudioNode* AudioNode::inputSource(std::uint32_t bus) const {
    return isInputConnected(bus) ? render_->inputs[bus]->source : nullptr;
}

AudioFormat AudioNode::currentOutputFormat(std::uint32_t bus) const {
    return render_ && bus < render_->outputs.size() ? render_->outputs[bus].format : AudioFormat{};
}

const void* AudioNode::publishedExtras() const {
    return render_ ? render_->extras.get() : nullptr;
}

bool AudioNode::graphInputConnected(std::uint32_t bus) const {
    return bus < inputs_.size() && inputs_[bus];
}

AudioFormat AudioNode::graphInputFormat(std::uint32_t bus) const {
    if (bus < inputs_.size() && inputs_[bus]) return inputs_[bus]->format;
    return defaultOutputFormat(0);
}

AudioFormat AudioNode::graphOutputFormat(std::uint32_t bus) const {
    if (bus < outputs_.size() && outputs_[bus].format) return *outputs_[bus].format;
    return defaultOutputFormat(bus);
}

AudioNode::RenderState AudioNode::makeRenderState() {
    reserveRenderStorage();
    RenderState state;
    state.inputs = inputs_;
    state.outputs.reserve(outputs_.size());
    for (std::uint32_t b = 0; b < outputs_.size(); ++b)
        state.outputs.push_back(
            {graphOutputFormat(b), outputs_[b].tap, outputs_[b].storage, outputs_[b].feed});
    state.extras = renderExtras();
    return state;
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
                           TapBlock block, TapKind kind, TapSilenceBlock silence, TapTakeBlock take) {
    if (bus >= outputs_.size() || !block) return false;
    const AudioFormat busFormat = outputFormat(bus);
    if (format && !format->isEmpty() &&
        (format->sampleRate() != busFormat.sampleRate() ||
         format->channelCount() != busFormat.channelCount()))
        return false;
    if (bufferSize == 0 || bufferSize > (1u << 24)) return false;
    auto tap = std::make_shared<Tap>();
    tap->bufferSize = bufferSize;
    tap->format = busFormat;
    tap->block = std::move(block);
    tap->silence = std::move(silence);
    tap->takeChanged = std::move(take);
    tap->kind = kind;
    // Room for the tap thread to fall behind: half a second of blocks, a second for a recorder, and
    // at least two cycles of the largest size.
    const double rate = busFormat.sampleRate() > 0 ? busFormat.sampleRate() : 44100;
    const std::uint32_t perSecond = std::uint32_t(std::ceil(rate / bufferSize));
    const std::uint32_t perCycle = (maximumRenderFrames() + bufferSize - 1) / bufferSize;
    const std::uint32_t slots = std::clamp<std::uint32_t>(
        std::max(kind == TapKind::recorder ? perSecond + 1 : perSecond / 2 + 2, 2 * perCycle + 1), 4, 4096);
    tap->pool.reserve(slots);
    for (std::uint32_t i = 0; i < slots; ++i) {
        auto buffer = PCMBuffer::make(busFormat, bufferSize);
        if (!buffer) return false;
        tap->pool.push_back(std::move(buffer));
    }
    tap->busy = std::make_unique<std::atomic<bool>[]>(slots);
    auto engine = engine_.lock();
    AudioEngine::GraphChange change(engine.get());
    if (outputs_[bus].tap) return false;
    outputs_[bus].tap = std::move(tap);
    return true;
}

void AudioNode::removeTap(std::uint32_t bus) {
    std::shared_ptr<Tap> old; // the tap thread may still hold it for queued blocks
    auto engine = engine_.lock();
    bool released = false;
    {
        AudioEngine::GraphChange change(engine.get());
        if (bus < outputs_.size()) old = std::move(outputs_[bus].tap);
        if (!old || !engine) return;
        // Rendering lets go of the tap before its last count is read.
        released = engine->publishGraph();
    }
    // A cycle that outlasted the publisher's wait (an offline one waiting for a file) still fills it.
    if (!released) engine->waitForCycleInProgress(true);
    // A recorder's take ends with the block it was filling and the silence of blocks lost since its
    // last delivery, so that its length is the time it recorded.
    if (old->kind != TapKind::recorder) return;
    if (old->filling && old->filled > 0) {
        PCMBuffer& buffer = *old->pool[*old->filling];
        buffer.setFrameLength(old->filled);
        const AudioTime when =
            old->firstHostTimeValid
                ? AudioTime::withHostAndSampleTime(old->firstHostTime, old->firstSampleTime, old->sampleRate)
                : AudioTime::withSampleTime(old->firstSampleTime, old->sampleRate);
        engine->queueTapDeliveryFromOutside(old, *old->filling, old->lostFrames, when, 0, old->zeroed,
                                            old->renderTake);
    } else if (old->lostFrames > 0) {
        engine->queueTapDeliveryFromOutside(old, kNoSlot, old->lostFrames,
                                            AudioTime::withSampleTime(old->endSampleTime, old->sampleRate), 0,
                                            0, old->renderTake);
    }
}

bool AudioNode::setTapTake(std::uint32_t bus, std::uint64_t take) {
    auto engine = engine_.lock();
    std::shared_ptr<Tap> tap;
    {
        std::unique_lock<std::recursive_mutex> lock;
        if (engine) lock = std::unique_lock(engine->graphMutex());
        if (bus < outputs_.size()) tap = outputs_[bus].tap;
    }
    if (!tap || tap->kind != TapKind::recorder) return false;
    tap->take.store(take, std::memory_order_release);
    return true;
}

void AudioNode::queueOwedTapSilence(std::uint32_t bus) {
    auto engine = engine_.lock();
    if (!engine) return;
    std::shared_ptr<Tap> tap;
    {
        std::lock_guard lock(engine->graphMutex());
        if (bus < outputs_.size()) tap = outputs_[bus].tap;
    }
    if (!tap || tap->kind != TapKind::recorder) return;
    // Frames lost after this count belong to what comes after; a block rendered meanwhile that carries
    // some of these gives no silence for them again.
    const std::uint64_t upTo = tap->lostCounted.load(std::memory_order_acquire);
    engine->queueTapDeliveryFromOutside(tap, kNoSlot, 0, AudioTime(), upTo);
}

void AudioNode::deliver(Tap& tap, std::uint32_t slot, std::uint32_t lostFrames, AudioTime when,
                        std::uint32_t zeroedFrames, std::uint64_t lostUpTo, std::uint64_t take) {
    if (take != kSameTake && take != tap.deliveredTake) {
        if (take != 0 && take <= tap.lastTake) {
            // Of a take that has ended: it reaches no other, and its losses are silence nowhere else.
            tap.lostTold += lostFrames;
            tap.lostSilenced = std::max(tap.lostSilenced, std::max(tap.lostTold, lostUpTo));
            if (slot != kNoSlot) {
                tap.returned.fetch_add(1, std::memory_order_relaxed);
                tap.busy[slot].store(false, std::memory_order_release);
            }
            return;
        }
        tap.deliveredTake = take;
        tap.lastTake = std::max(tap.lastTake, take);
        if (tap.takeChanged) tap.takeChanged(take);
    }
    if (zeroedFrames > 0 && tap.kind == TapKind::recorder && tap.silence) tap.silence(zeroedFrames);
    tap.lostTold += lostFrames;
    const std::uint64_t told = std::max(tap.lostTold, lostUpTo);
    lostFrames =
        std::uint32_t(std::min<std::uint64_t>(told > tap.lostSilenced ? told - tap.lostSilenced : 0, ~0u));
    tap.lostSilenced += lostFrames;
    if (slot == kNoSlot && lostUpTo > 0) {
        if (tap.deliveredRate == 0) tap.deliveredRate = tap.format.sampleRate();
        when = AudioTime::withSampleTime(tap.deliveredEnd + lostFrames, tap.deliveredRate);
    }
    if (lostFrames > 0 && tap.kind == TapKind::recorder) {
        // Blocks the tap thread could not take: silence of their length keeps the recording in time.
        if (tap.silence) tap.silence(lostFrames);
        std::int64_t at = when.sampleTime() - lostFrames;
        while (lostFrames > 0) {
            const std::uint32_t n = std::min(lostFrames, tap.bufferSize);
            auto silence = PCMBuffer::make(tap.format, n);
            if (!silence) break;
            silence->setFrameLength(n);
            tap.block(silence, AudioTime::withSampleTime(at, when.sampleRate()));
            at += n;
            lostFrames -= n;
        }
        tap.deliveredEnd = at;
        tap.deliveredRate = when.sampleRate();
    }
    if (slot == kNoSlot) return;
    std::shared_ptr<PCMBuffer>& buffer = tap.pool[slot];
    tap.deliveredEnd = when.sampleTime() + buffer->frameLength();
    tap.deliveredRate = when.sampleRate();
    tap.block(buffer, when);
    // The block kept the buffer: it is theirs now, and the pool takes a new one.
    if (buffer.use_count() > 1) {
        if (auto fresh = PCMBuffer::make(tap.format, tap.bufferSize)) buffer = std::move(fresh);
    }
    tap.returned.fetch_add(1, std::memory_order_relaxed);
    tap.busy[slot].store(false, std::memory_order_release);
}

bool AudioNode::poolRunsLow(Tap& tap) {
    // `returned` only grows: the other side's line is read only when the count seen says low.
    const auto low = [&] { return 4 * (tap.handed - tap.returnedSeen) >= 3 * tap.pool.size(); };
    if (!low()) return false;
    tap.returnedSeen = tap.returned.load(std::memory_order_relaxed);
    return low();
}

void AudioNode::addLostRun(std::uint64_t frames, std::uint32_t at, bool merge) {
    if (frames == 0) return;
    std::size_t i = 0;
    while (i < lostCount_ && lost_[i].at < at)
        ++i;
    if (i < lostCount_ && lost_[i].at == at) {
        lost_[i].frames = merge ? std::max(lost_[i].frames, frames) : lost_[i].frames + frames;
        return;
    }
    if (lostCount_ == kLostRuns) {
        // No place left: the run before it takes it, a little early, or the first one, a little late.
        lost_[i > 0 ? i - 1 : 0].frames += frames;
        return;
    }
    std::copy_backward(lost_.begin() + std::ptrdiff_t(i), lost_.begin() + std::ptrdiff_t(lostCount_),
                       lost_.begin() + std::ptrdiff_t(lostCount_ + 1));
    lost_[i] = {at, frames};
    ++lostCount_;
}

std::uint64_t AudioNode::lostTotal() const {
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < lostCount_; ++i)
        total += lost_[i].frames;
    return total;
}

const AudioNode::BusData& AudioNode::pull(const RenderContext& context, std::uint32_t bus) {
    if (!render_ || bus >= outputs_.size()) {
        static constexpr BusData nothing{}; // a node the published graph does not know yet
        return nothing;
    }
    if (resetConversions_.load(std::memory_order_relaxed) && resetConversions_.exchange(false))
        for (auto& in : render_->inputs)
            if (in && in->conversion) in->conversion->converter.reset();
    if (renderedCycle_ != context.cycle) {
        renderedCycle_ = context.cycle;
        for (auto& out : outputs_)
            out.view.frames = 0;
        if (const std::uint32_t late = unit_->beginRender(context.sampleTime))
            context.engine->countLateNotes(late);
        lostCount_ = 0;
        render(context);
        for (std::uint32_t b = 0; b < outputs_.size(); ++b)
            if (outputs_[b].view.frames != context.frames) setOutputSilent(b, context.frames);
        renderedUntil_ = context.sampleTime + context.frames;
        lastSampleTime_.store(context.sampleTime, std::memory_order_relaxed);
        lastHostTime_.store(context.hostTime, std::memory_order_relaxed);
        lastHostTimeValid_.store(context.hostTimeValid, std::memory_order_relaxed);
        lastSampleRate_.store(context.sampleRate, std::memory_order_relaxed);
        hasRenderTime_.store(true, std::memory_order_release);
        deliverTaps(context);
    }
    return outputs_[bus].view;
}

const AudioNode::BusData* AudioNode::pullInput(const RenderContext& context, std::uint32_t bus) {
    if (!isInputConnected(bus)) return nullptr;
    const Input& in = *render_->inputs[bus];
    const BusData& data = in.source->pull(context, in.bus);
    // At one rate a frame of the source is the same frame here.
    for (std::size_t i = 0; i < in.source->lostCount_; ++i)
        addLostRun(in.source->lost_[i].frames, in.source->lost_[i].at, true);
    return &data;
}

const AudioNode::BusData* AudioNode::pullInputAtOutputRate(const RenderContext& context, std::uint32_t bus) {
    if (!isInputConnected(bus)) return nullptr;
    const Input& in = *render_->inputs[bus];
    if (!in.conversion) return pullInput(context, bus);
    Conversion& conversion = *in.conversion;
    ConversionProgress& progress = *conversion.progress;
    const std::uint32_t channels = conversion.converter.channels();
    for (std::uint32_t c = 0; c < channels; ++c)
        conversion.channels[c] = conversion.scratch.data() + std::size_t(c) * context.frames;
    AudioNode& source = *in.source;
    std::int64_t start = 0;
    Feed* feed = source.feedForCycle(context, in.bus, start);
    Output& fed = source.outputs_[in.bus];
    if (!progress.started) {
        // Inputs that begin together take the same frames.
        progress.started = true;
        progress.position = start;
        progress.lostSeen = fed.fedLost;
        progress.gapsSeen = fed.fedGapCount;
        progress.sourceStart = start;
        progress.start = context.sampleTime;
    }
    conversion.converter.process(context.frames, conversion.channels.data(),
                                 [&](std::uint32_t n, const float* const** data) -> std::uint32_t {
                                     if (!feed) return 0;
                                     const std::uint32_t got =
                                         source.readFeed(context, in.bus, *feed, in.format.sampleRate(),
                                                         progress.position, n, conversion.pulled);
                                     *data = conversion.pulled.data();
                                     return got;
                                 });
    // Each loss the source's time line holds plays here where the frames around it play; those the
    // feed no longer holds go at the start of the cycle.
    const double ratio = conversion.converter.outputRate() / conversion.converter.inputRate();
    const auto pass = [&](std::uint64_t frames, std::uint32_t at) {
        progress.lostSeen += frames;
        progress.lostIn += frames;
        const auto total = std::uint64_t(double(progress.lostIn) * ratio);
        addLostRun(total - progress.lostOut, at, true);
        progress.lostOut = total;
    };
    if (fed.fedGapCount - progress.gapsSeen > Output::kFedGaps) {
        std::uint64_t held = 0;
        progress.gapsSeen = fed.fedGapCount - Output::kFedGaps;
        for (std::uint64_t g = progress.gapsSeen; g < fed.fedGapCount; ++g)
            held += fed.fedGaps[g % Output::kFedGaps].frames;
        pass(fed.fedLost - progress.lostSeen - std::min(held, fed.fedLost - progress.lostSeen), 0);
    }
    const std::int64_t end = context.sampleTime + context.frames;
    for (; progress.gapsSeen < fed.fedGapCount; ++progress.gapsSeen) {
        const Output::FedGap& gap = fed.fedGaps[progress.gapsSeen % Output::kFedGaps];
        const auto here =
            progress.start + std::int64_t(std::llround(double(gap.at - progress.sourceStart) * ratio));
        if (here >= end) break;
        pass(gap.frames,
             std::uint32_t(std::clamp<std::int64_t>(here - context.sampleTime, 0, context.frames)));
    }
    conversion.view.channels = channels;
    conversion.view.frames = context.frames;
    conversion.view.silent = false;
    for (std::uint32_t c = 0; c < channels; ++c)
        conversion.view.data[c] = conversion.channels[c];
    return &conversion.view;
}

AudioNode::Feed* AudioNode::feedForCycle(const RenderContext& context, std::uint32_t bus,
                                         std::int64_t& start) {
    if (!render_ || bus >= render_->outputs.size() || bus >= outputs_.size()) return nullptr;
    Feed* feed = render_->outputs[bus].feed.get();
    if (!feed) return nullptr;
    Output& out = outputs_[bus];
    if (out.feedInUse != feed) {
        // A feed made anew holds nothing yet; the node's time goes on from where it was.
        out.feedInUse = feed;
        out.fedUntil = std::max(out.fedUntil, renderedUntil_);
        out.feedFrom = out.fedUntil;
    }
    if (out.feedCycle != context.cycle) {
        out.feedCycle = context.cycle;
        out.feedCycleAt = out.fedUntil;
    }
    start = out.feedCycleAt;
    return feed;
}

std::uint32_t AudioNode::readFeed(const RenderContext& context, std::uint32_t bus, Feed& feed, double rate,
                                  std::int64_t& position, std::uint32_t frames,
                                  std::array<const float*, kMaxChannels>& data) {
    Output& out = outputs_[bus];
    if (frames == 0) return 0;
    // Frames older than the feed holds (an input that went unrendered for a while) are gone.
    position = std::max({position, out.feedFrom, out.fedUntil - std::int64_t(feed.capacity)});
    if (position >= out.fedUntil) {
        // Each render is a cycle of its own for this node, numbered by the cycle's engine: so the
        // losses of the renders add up, and no number is one a later cycle will have.
        RenderContext sub = context;
        sub.cycle = context.engine->nextCycle();
        sub.sampleTime = out.fedUntil;
        sub.sampleRate = rate;
        sub.frames = std::min(frames, feed.capacity);
        sub.hostTimeValid = false;
        const BusData& rendered = pull(sub, bus);
        for (std::size_t i = 0; i < lostCount_; ++i) {
            out.fedGaps[out.fedGapCount++ % Output::kFedGaps] = {out.fedUntil + lost_[i].at, lost_[i].frames};
            out.fedLost += lost_[i].frames;
        }
        const std::uint32_t n = std::min(rendered.frames, sub.frames);
        const auto start = std::uint32_t(out.fedUntil % feed.capacity);
        const std::uint32_t first = std::min(n, feed.capacity - start);
        for (std::uint32_t c = 0; c < feed.channels; ++c) {
            float* to = feed.samples.data() + std::size_t(c) * feed.capacity;
            if (c < rendered.channels) {
                std::memcpy(to + start, rendered.data[c], first * sizeof(float));
                std::memcpy(to, rendered.data[c] + first, (n - first) * sizeof(float));
            } else {
                std::memset(to + start, 0, first * sizeof(float));
                std::memset(to, 0, (n - first) * sizeof(float));
            }
        }
        out.fedUntil += n;
        if (n == 0) return 0;
    }
    const auto at = std::uint32_t(position % feed.capacity);
    const auto n = std::uint32_t(std::min<std::int64_t>(
        {std::int64_t(frames), out.fedUntil - position, std::int64_t(feed.capacity - at)}));
    for (std::uint32_t c = 0; c < feed.channels; ++c)
        data[c] = feed.samples.data() + std::size_t(c) * feed.capacity + at;
    position += n;
    return n;
}

void AudioNode::prepareInputConversions() {
    const double rate = graphOutputFormat(0).sampleRate();
    const std::uint32_t maximumFrames = maximumRenderFrames();
    for (auto& in : inputs_) {
        if (!in) continue;
        const std::uint32_t channels = in->format.channelCount();
        if (in->format.sampleRate() == rate) {
            in->conversion.reset();
            continue;
        }
        // The source keeps what it rendered until every converting input has taken it: two cycles of
        // this node's at the source's rate, and the converter's pulls.
        const auto held = std::uint32_t(std::min(
            2 * std::ceil(double(maximumFrames) * in->format.sampleRate() / rate) + 4096, double(1u << 26)));
        auto& feed = in->source->outputs_[in->bus].feed;
        if (!feed || feed->channels != channels || feed->capacity < held)
            feed = std::make_shared<Feed>(channels, held);
        const auto& c = in->conversion;
        if (c && c->converter.channels() == channels && c->converter.inputRate() == in->format.sampleRate() &&
            c->converter.outputRate() == rate && c->scratch.size() >= std::size_t(channels) * maximumFrames)
            continue;
        // A rebuilt converter carries on where the one it replaces was.
        const bool sameInput = c && c->converter.inputRate() == in->format.sampleRate();
        in->conversion = std::make_shared<Conversion>(channels, in->format.sampleRate(), rate, maximumFrames,
                                                      sameInput ? c->progress : nullptr);
    }
}

std::uint32_t AudioNode::maximumRenderFrames() const {
    const AudioEngine* engine = renderEngine_.load(std::memory_order_relaxed);
    return std::max(
        {unit_->maximumFramesToRender(), std::uint32_t(4096), engine ? engine->maximumFramesPerCycle() : 0u});
}

void AudioNode::reserveRenderStorage() {
    const std::uint32_t maximumFrames = maximumRenderFrames();
    for (std::uint32_t b = 0; b < outputs_.size(); ++b) {
        const std::size_t needed = std::size_t(graphOutputFormat(b).channelCount()) * maximumFrames;
        // A new one when it grows: rendering may still be writing into the one it has.
        if (!outputs_[b].storage || outputs_[b].storage->size() < needed)
            outputs_[b].storage = std::make_shared<std::vector<float>>(needed);
    }
}

void AudioNode::resetInputConversions() {
    resetConversions_.store(true);
}

float* const* AudioNode::outputChannels(std::uint32_t bus, std::uint32_t frames) {
    Output& out = outputs_[bus];
    const RenderState::Out& published = render_->outputs[bus];
    const std::uint32_t channels = published.format.channelCount();
    out.view.channels = channels;
    out.view.frames = frames;
    out.view.silent = false;
    if (renderInto_ && bus == renderIntoBus_ && channels == renderIntoChannels_) {
        for (std::uint32_t c = 0; c < channels; ++c) {
            out.writable[c] = renderInto_[c];
            out.view.data[c] = out.writable[c];
        }
        return out.writable.data();
    }
    std::vector<float>& storage = *published.storage; // holds the largest cycle
    for (std::uint32_t c = 0; c < channels; ++c) {
        out.writable[c] = storage.data() + std::size_t(c) * frames;
        out.view.data[c] = out.writable[c];
    }
    return out.writable.data();
}

void AudioNode::setOutputView(std::uint32_t bus, const BusData& view) {
    BusData& to = outputs_[bus].view;
    to.channels = view.channels;
    to.frames = view.frames;
    to.silent = view.silent;
    std::copy_n(view.data.begin(), view.channels, to.data.begin());
}

void AudioNode::setOutputSilent(std::uint32_t bus, std::uint32_t frames) {
    float* const* channels = outputChannels(bus, frames);
    for (std::uint32_t c = 0; c < outputs_[bus].view.channels; ++c)
        std::memset(channels[c], 0, frames * sizeof(float));
    outputs_[bus].view.silent = true;
}

void AudioNode::deliverTaps(const RenderContext& context) {
    // The cycle's engine, also for a node detached while the cycle was under way: the block it
    // filled still reaches that engine's tap thread, or is counted there.
    AudioEngine* engine = context.engine;
    for (std::uint32_t b = 0; b < render_->outputs.size() && b < outputs_.size(); ++b) {
        const std::shared_ptr<Tap>& published = render_->outputs[b].tap;
        Tap* tap = published.get();
        if (!tap) continue;
        const BusData& view = outputs_[b].view;
        std::size_t runs = 0;
        if (lostCount_ > 0 && tap->kind == TapKind::recorder) {
            const std::uint64_t total = lostTotal();
            if (double(total) > kLongestTrueLossSeconds * tap->format.sampleRate())
                engine->countImpossibleLoss(total);
            else
                runs = lostCount_;
        }
        if (tap->kind == TapKind::recorder) {
            const std::uint64_t take = tap->take.load(std::memory_order_acquire);
            if (take != tap->renderTake) changeTapTake(context, published, take);
        }
        tap->endSampleTime = context.sampleTime + view.frames;
        tap->sampleRate = context.sampleRate;
        std::uint32_t done = 0;
        for (std::size_t r = 0; r < runs; ++r) {
            // The silence goes where the input was lost: the block being filled takes zeros up to its
            // end, and the rest goes to the tap thread now, between that block and the next.
            std::uint64_t lost = lost_[r].frames;
            const std::uint32_t at = std::min(lost_[r].at, view.frames);
            fillTap(context, published, view, done, at, false);
            done = at;
            if (tap->filling && tap->filled > 0) {
                const auto zeros = std::uint32_t(
                    std::min<std::uint64_t>(lost, tap->pool[*tap->filling]->frameCapacity() - tap->filled));
                tap->zeroed += zeros;
                fillTap(context, published, view, at, at + zeros, true);
                lost -= zeros;
            }
            if (lost > 0) {
                tap->addLost(lost);
                if (!tap->filling && tap->skipping == 0 &&
                    engine->queueTapDelivery(
                        published, kNoSlot, tap->lostFrames,
                        AudioTime::withSampleTime(context.sampleTime + at, context.sampleRate), 0,
                        tap->renderTake))
                    tap->lostFrames = 0;
            }
        }
        fillTap(context, published, view, done, view.frames, false);
    }
}

void AudioNode::fillTap(const RenderContext& context, const std::shared_ptr<Tap>& published,
                        const BusData& view, std::uint32_t from, std::uint32_t to, bool zeros) {
    AudioEngine* engine = context.engine;
    Tap* tap = published.get();
    // With zeros, the frames are silence the block being filled takes in place of lost input; they
    // have no place of their own in the view.
    std::uint32_t done = from;
    while (done < to) {
        if (tap->skipping > 0) {
            const std::uint32_t n = std::min(to - done, tap->skipping);
            tap->skipping -= n;
            tap->addLost(n);
            done += n;
            continue;
        }
        if (!tap->filling) {
            const std::uint32_t slots = std::uint32_t(tap->pool.size());
            // The first free slot: while the tap thread keeps up the same few buffers come back,
            // still in this core's cache.
            for (std::uint32_t i = 0; i < slots && !tap->filling; ++i)
                if (!tap->busy[i].load(std::memory_order_acquire)) tap->filling = i;
            if (!tap->filling) {
                // The tap thread holds every buffer: this block is lost.
                tap->skipping = tap->bufferSize;
                engine->countLostTapBlock(tap->kind == TapKind::recorder);
                continue;
            }
            tap->busy[*tap->filling].store(true, std::memory_order_relaxed);
            tap->filled = 0;
            tap->zeroed = 0;
            tap->firstSampleTime = context.sampleTime + done;
            tap->firstHostTime = context.hostTime;
            tap->firstHostTimeValid = context.hostTimeValid && done == 0;
        }
        PCMBuffer& buffer = *tap->pool[*tap->filling];
        const std::uint32_t capacity = buffer.frameCapacity();
        const std::uint32_t n = std::min(to - done, capacity - tap->filled);
        const std::uint32_t channels = std::min(view.channels, buffer.format().channelCount());
        float* const* into = buffer.floatChannelData();
        for (std::uint32_t c = 0; c < buffer.format().channelCount(); ++c) {
            if (zeros || c >= channels)
                std::memset(into[c] + tap->filled, 0, n * sizeof(float));
            else
                std::memcpy(into[c] + tap->filled, view.data[c] + done, n * sizeof(float));
        }
        tap->filled += n;
        done += n;
        if (tap->filled == capacity) handOverTap(context, published);
    }
}

void AudioNode::handOverTap(const RenderContext& context, const std::shared_ptr<Tap>& published) {
    AudioEngine* engine = context.engine;
    Tap* tap = published.get();
    PCMBuffer& buffer = *tap->pool[*tap->filling];
    const std::uint32_t frames = tap->filled;
    buffer.setFrameLength(frames);
    const AudioTime when =
        tap->firstHostTimeValid
            ? AudioTime::withHostAndSampleTime(tap->firstHostTime, tap->firstSampleTime, context.sampleRate)
            : AudioTime::withSampleTime(tap->firstSampleTime, context.sampleRate);
    const std::uint32_t slot = *tap->filling;
    tap->filling.reset();
    tap->filled = 0;
    ++tap->handed;
    if (engine->queueTapDelivery(published, slot, tap->lostFrames, when, tap->zeroed, tap->renderTake)) {
        tap->lostFrames = 0;
    } else {
        --tap->handed;
        tap->busy[slot].store(false, std::memory_order_relaxed);
        // Its zeros were lost input already: the whole block is silence now.
        tap->addLost(frames);
        engine->countLostTapBlock(tap->kind == TapKind::recorder);
    }
    tap->zeroed = 0;
}

void AudioNode::changeTapTake(const RenderContext& context, const std::shared_ptr<Tap>& published,
                              std::uint64_t take) {
    AudioEngine* engine = context.engine;
    Tap* tap = published.get();
    // What the old take has so far goes now, the block being filled too, with the silence it is owed.
    if (tap->filling && tap->filled > 0) handOverTap(context, published);
    if (tap->lostFrames > 0 &&
        engine->queueTapDelivery(published, kNoSlot, tap->lostFrames,
                                 AudioTime::withSampleTime(context.sampleTime, context.sampleRate), 0,
                                 tap->renderTake))
        tap->lostFrames = 0;
    // A block skipped for want of a buffer ends here too: the new take starts with a block of its own.
    tap->skipping = 0;
    tap->renderTake = take;
    // Tells the change even when nothing of the new take comes soon; when the queue is full, its first
    // block tells it.
    engine->queueTapDelivery(published, kNoSlot, 0,
                             AudioTime::withSampleTime(context.sampleTime, context.sampleRate), 0, take);
}

} // namespace platform
