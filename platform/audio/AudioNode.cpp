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
    TapKind kind = TapKind::analysis;
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
    std::int64_t firstSampleTime = 0;
    std::uint64_t firstHostTime = 0;
    bool firstHostTimeValid = false;
    std::int64_t endSampleTime = 0; // after the last frame seen
    double sampleRate = 0;
};

namespace {
constexpr std::uint32_t kNoSlot = ~0u; // a delivery of lost frames alone
// Rendering runs every device period while the input is captured: a loss longer than this between
// two cycles is a fault in the counting, and silence that long would ruin a take.
constexpr double kLongestTrueLossSeconds = 600;
} // namespace

struct AudioNode::Conversion {
    Conversion(std::uint32_t channels, double from, double to, std::uint32_t maximumFrames)
        : converter(channels, from, to, maximumFrames), scratch(std::size_t(channels) * maximumFrames) {}
    SampleRateConverter converter;
    std::vector<float> scratch;
    std::array<float*, kMaxChannels> channels{};
    std::int64_t sampleTime = 0; // of the source, in its own rate
    BusData view;
    // Input lost before the source, in its frames and in this node's: each cycle passes on the
    // difference, so no fraction of a frame goes missing between cycles.
    std::uint64_t lostIn = 0;
    std::uint64_t lostOut = 0;
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
        state.outputs.push_back({graphOutputFormat(b), outputs_[b].tap, outputs_[b].storage});
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
                           TapBlock block, TapKind kind, TapSilenceBlock silence) {
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
    // A recorder's take ends with the silence of blocks lost since its last delivery, so that its
    // length is the time it recorded.
    if (old->kind == TapKind::recorder && old->lostFrames > 0)
        engine->queueTapDeliveryFromOutside(old, kNoSlot, old->lostFrames,
                                            AudioTime::withSampleTime(old->endSampleTime, old->sampleRate));
}

void AudioNode::deliver(Tap& tap, std::uint32_t slot, std::uint32_t lostFrames, const AudioTime& when) {
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
    }
    if (slot == kNoSlot) return;
    std::shared_ptr<PCMBuffer>& buffer = tap.pool[slot];
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
        unit_->beginRender(context.sampleTime, context.frames);
        lostInput_ = 0;
        render(context);
        for (std::uint32_t b = 0; b < outputs_.size(); ++b)
            if (outputs_[b].view.frames != context.frames) setOutputSilent(b, context.frames);
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
    lostInput_ = std::max(lostInput_, in.source->lostInput_);
    return &data;
}

const AudioNode::BusData* AudioNode::pullInputAtOutputRate(const RenderContext& context, std::uint32_t bus) {
    if (!isInputConnected(bus)) return nullptr;
    const Input& in = *render_->inputs[bus];
    if (!in.conversion) return pullInput(context, bus);
    Conversion& conversion = *in.conversion;
    const std::uint32_t channels = conversion.converter.channels();
    for (std::uint32_t c = 0; c < channels; ++c)
        conversion.channels[c] = conversion.scratch.data() + std::size_t(c) * context.frames;
    AudioEngine* engine = engineForRender();
    // Each pull is a cycle of its own for the source, so the losses of its pulls add up.
    std::uint64_t lost = 0;
    conversion.converter.process(context.frames, conversion.channels.data(),
                                 [&](std::uint32_t n, const float* const** data) -> std::uint32_t {
                                     RenderContext sub = context;
                                     sub.cycle = engine ? engine->nextCycle() : context.cycle + 1;
                                     sub.sampleTime = conversion.sampleTime;
                                     sub.sampleRate = in.format.sampleRate();
                                     sub.frames = n;
                                     sub.hostTimeValid = false;
                                     const BusData& pulled = in.source->pull(sub, in.bus);
                                     lost += in.source->lostInput_;
                                     conversion.sampleTime += n;
                                     *data = pulled.data.data();
                                     return pulled.frames;
                                 });
    if (lost > 0) {
        conversion.lostIn += lost;
        const auto total = std::uint64_t(double(conversion.lostIn) * conversion.converter.outputRate() /
                                         conversion.converter.inputRate());
        lostInput_ = std::max(lostInput_, total - conversion.lostOut);
        conversion.lostOut = total;
    }
    conversion.view.channels = channels;
    conversion.view.frames = context.frames;
    conversion.view.silent = false;
    for (std::uint32_t c = 0; c < channels; ++c)
        conversion.view.data[c] = conversion.channels[c];
    return &conversion.view;
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
        const auto& c = in->conversion;
        if (c && c->converter.channels() == channels && c->converter.inputRate() == in->format.sampleRate() &&
            c->converter.outputRate() == rate && c->scratch.size() >= std::size_t(channels) * maximumFrames)
            continue;
        in->conversion = std::make_shared<Conversion>(channels, in->format.sampleRate(), rate, maximumFrames);
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
    AudioEngine* engine = engineForRender();
    for (std::uint32_t b = 0; b < render_->outputs.size() && b < outputs_.size(); ++b) {
        const std::shared_ptr<Tap>& published = render_->outputs[b].tap;
        Tap* tap = published.get();
        if (!tap) continue;
        const BusData& view = outputs_[b].view;
        if (lostInput_ > 0 && tap->kind == TapKind::recorder) {
            if (double(lostInput_) > kLongestTrueLossSeconds * tap->format.sampleRate()) {
                if (engine) engine->countImpossibleLoss(lostInput_);
            } else {
                tap->lostFrames = std::uint32_t(std::min<std::uint64_t>(tap->lostFrames + lostInput_, ~0u));
            }
        }
        tap->endSampleTime = context.sampleTime + view.frames;
        tap->sampleRate = context.sampleRate;
        std::uint32_t done = 0;
        while (done < view.frames) {
            if (tap->skipping > 0) {
                const std::uint32_t n = std::min(view.frames - done, tap->skipping);
                tap->skipping -= n;
                tap->lostFrames += n;
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
                    if (engine) engine->countLostTapBlock(tap->kind == TapKind::recorder);
                    continue;
                }
                tap->busy[*tap->filling].store(true, std::memory_order_relaxed);
                tap->filled = 0;
                tap->firstSampleTime = context.sampleTime + done;
                tap->firstHostTime = context.hostTime;
                tap->firstHostTimeValid = context.hostTimeValid && done == 0;
            }
            PCMBuffer& buffer = *tap->pool[*tap->filling];
            const std::uint32_t capacity = buffer.frameCapacity();
            const std::uint32_t n = std::min(view.frames - done, capacity - tap->filled);
            const std::uint32_t channels = std::min(view.channels, buffer.format().channelCount());
            float* const* to = buffer.floatChannelData();
            for (std::uint32_t c = 0; c < channels; ++c)
                std::memcpy(to[c] + tap->filled, view.data[c] + done, n * sizeof(float));
            tap->filled += n;
            done += n;
            if (tap->filled == capacity) {
                buffer.setFrameLength(capacity);
                const AudioTime when =
                    tap->firstHostTimeValid
                        ? AudioTime::withHostAndSampleTime(tap->firstHostTime, tap->firstSampleTime,
                                                           context.sampleRate)
                        : AudioTime::withSampleTime(tap->firstSampleTime, context.sampleRate);
                const std::uint32_t slot = *tap->filling;
                tap->filling.reset();
                ++tap->handed;
                if (engine && engine->queueTapDelivery(published, slot, tap->lostFrames, when)) {
                    tap->lostFrames = 0;
                } else {
                    --tap->handed;
                    tap->busy[slot].store(false, std::memory_order_relaxed);
                    tap->lostFrames += tap->bufferSize;
                    if (engine) engine->countLostTapBlock(tap->kind == TapKind::recorder);
                }
            }
        }
    }
}

} // namespace platform
