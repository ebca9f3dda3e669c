#include "platform/audio/AudioEngine.h"

#include "platform/audio/AudioEngineDeliveries.h"
#include "platform/audio/AudioError.h"
#include "platform/audio/AudioInputNode.h"
#include "platform/audio/AudioMixerNode.h"
#include "platform/audio/AudioObjectCalls.h"
#include "platform/audio/AudioOutputNode.h"
#include "platform/audio/AudioRingBuffer.h"
#include "platform/audio/AudioUnitCalls.h"
#include "platform/core/BackgroundJobs.h"
#include "platform/core/LogSink.h"
#include "platform/core/SemaphoreWait.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <semaphore.h>
#include <string>
#include <thread>
#include <utility>

namespace platform {

namespace {
constexpr std::uint32_t kMaxManualFrames = 1u << 20;
// Far beyond any cycle; a publisher that waits longer leaves the old graph for a later publication.
constexpr auto kCycleWait = std::chrono::seconds(2);
thread_local const AudioEngine* renderingEngine = nullptr;

void logGraph(const std::string& text) {
    LogSink::emit({"io.sonabel.platform", "audio", LogLevel::error, text});
}
} // namespace

// The graph as rendering sees it: every node with its render state, made under the graph lock.
struct AudioEngine::Snapshot {
    std::uint64_t generation = 0;
    std::vector<std::shared_ptr<AudioNode>> nodes; // alive while a cycle may reach them
    std::vector<AudioNode::RenderState> states;    // nodes[i]'s
    AudioNode* output = nullptr;
    AudioInputNode* input = nullptr;
};

struct AudioEngine::Publication {
    Publication() { sem_init(&cycleEnded, 0, 0); }
    ~Publication() { sem_destroy(&cycleEnded); }
    sem_t cycleEnded; // posted by rendering when a cycle ends and someone waits
    std::atomic<int> waiting{0};
    // Under the graph lock: graphs a cycle still rendered when their publisher stopped waiting, with
    // the epoch of that cycle.
    std::vector<std::pair<std::unique_ptr<Snapshot>, std::uint64_t>> retired;
};

std::shared_ptr<AudioEngine> AudioEngine::make() {
    std::shared_ptr<AudioEngine> engine(new AudioEngine());
    engine->publication_ = std::make_unique<Publication>();
    engine->deliveries_ = std::make_shared<Deliveries>();
    engine->outputNode_ = AudioOutputNode::make();
    engine->attach(engine->outputNode_);
    std::weak_ptr<AudioEngine> weak = engine;
    auto& unit = *engine->outputNode_->auAudioUnit();
    unit.setPropertyHandlers(
        kAudioOutputUnitProperty_CurrentDevice,
        [weak](AudioUnitScope, AudioUnitElement, void* data, std::uint32_t* size) -> OSStatus {
            auto e = weak.lock();
            auto backend = e ? e->ioBackend() : nullptr;
            if (!backend) return kAudioUnitErr_Uninitialized;
            if (!size || *size < sizeof(std::uint32_t) || !data) return kAudioUnitErr_InvalidPropertyValue;
            std::uint32_t id = 0;
            const OSStatus status = backend->currentDevice(id);
            if (status == noErr) std::memcpy(data, &id, sizeof id);
            *size = sizeof id;
            return status;
        },
        [weak](AudioUnitScope, AudioUnitElement, const void* data, std::uint32_t size) -> OSStatus {
            auto e = weak.lock();
            auto backend = e ? e->ioBackend() : nullptr;
            if (!backend) return kAudioUnitErr_Uninitialized;
            if (size != sizeof(std::uint32_t) || !data) return kAudioUnitErr_InvalidPropertyValue;
            std::uint32_t id = 0;
            std::memcpy(&id, data, sizeof id);
            return e->setCurrentDevice(*backend, id);
        });
    unit.setPropertyHandlers(
        kAudioDevicePropertyBufferFrameSize,
        [weak](AudioUnitScope, AudioUnitElement, void* data, std::uint32_t* size) -> OSStatus {
            auto e = weak.lock();
            auto backend = e ? e->ioBackend() : nullptr;
            if (!backend) return kAudioUnitErr_Uninitialized;
            if (!size || *size < sizeof(std::uint32_t) || !data) return kAudioUnitErr_InvalidPropertyValue;
            std::uint32_t frames = 0;
            const OSStatus status = backend->bufferFrameSize(frames);
            if (status == noErr) std::memcpy(data, &frames, sizeof frames);
            *size = sizeof frames;
            return status;
        });
    return engine;
}

AudioEngine::~AudioEngine() {
    if (backend_ && running_) backend_->stop();
    endTapThread();
    for (auto& node : nodes_)
        node->renderingEnded(*this);
    std::lock_guard lock(graphMutex_);
    // Nodes may outlive the engine; they must not keep pointers into this graph.
    for (auto& node : nodes_) {
        node->inputs_.clear();
        for (auto& out : node->outputs_)
            out.format.reset();
        node->renderEngine_ = nullptr;
        node->render_ = nullptr;
    }
    delete snapshot_.exchange(nullptr);
    publication_->retired.clear();
}

AudioEngine::GraphChange::GraphChange(AudioEngine* engine) : engine_(engine) {
    if (!engine_) return;
    engine_->graphMutex_.lock();
    ++engine_->changeDepth_;
}

AudioEngine::GraphChange::~GraphChange() {
    if (!engine_) return;
    if (--engine_->changeDepth_ == 0) engine_->publishLocked();
    engine_->graphMutex_.unlock();
}

bool AudioEngine::publishGraph() {
    std::lock_guard lock(graphMutex_);
    return publishLocked();
}

bool AudioEngine::publishLocked() {
    auto fresh = std::make_unique<Snapshot>();
    fresh->generation = ++generation_;
    fresh->nodes = nodes_;
    fresh->states.reserve(nodes_.size());
    for (const auto& node : nodes_)
        fresh->states.push_back(node->makeRenderState());
    fresh->output = outputNode_.get();
    fresh->input = inputNode_.get();
    // Released when this returns, here: the rendering thread never frees a graph.
    std::unique_ptr<Snapshot> old(snapshot_.exchange(fresh.release()));
    const std::uint64_t epoch = epoch_.load();
    auto& retired = publication_->retired;
    std::erase_if(retired, [&](const auto& entry) { return entry.second != epoch; });
    if (!old || !(epoch & 1)) return true;
    if (renderingEngine != this && waitForCycleEnd(epoch)) return true;
    retired.emplace_back(std::move(old), epoch);
    return false;
}

bool AudioEngine::waitForCycleEnd(std::uint64_t epoch) {
    auto& p = *publication_;
    const auto deadline = std::chrono::steady_clock::now() + kCycleWait;
    p.waiting.fetch_add(1);
    bool ended = true;
    while (epoch_.load() == epoch) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ended = false;
            break;
        }
        // A post can be missed between the check and the wait: look again soon regardless.
        waitForPost(p.cycleEnded, std::chrono::milliseconds(1));
    }
    p.waiting.fetch_sub(1);
    return ended;
}

void AudioEngine::waitForCycleInProgress(bool untilItEnds) {
    if (renderingEngine == this) return;
    const std::uint64_t epoch = epoch_.load();
    if (!(epoch & 1)) return;
    // Cycles end by themselves: an offline one waits for a file reader only so long.
    while (!waitForCycleEnd(epoch) && untilItEnds) {
    }
}

bool AudioEngine::isAttachedLocked(const AudioNode* node) const {
    return node && std::any_of(nodes_.begin(), nodes_.end(), [&](const auto& n) { return n.get() == node; });
}

bool AudioEngine::attach(const std::shared_ptr<AudioNode>& node) {
    if (!node) return false;
    GraphChange change(this);
    auto owner = node->engine_.lock();
    if (owner.get() == this) return true;
    if (owner) {
        logGraph("attach: " + node->description() + " belongs to another engine");
        return false;
    }
    node->engine_ = weak_from_this();
    node->renderEngine_ = this;
    node->inputs_.clear();
    if (running_) node->auAudioUnit()->markRenderingResumes();
    nodes_.push_back(node);
    return true;
}

void AudioEngine::detach(const std::shared_ptr<AudioNode>& node) {
    if (!node) return;
    std::shared_ptr<AudioNode> keep = node; // released after the lock
    {
        GraphChange change(this);
        if (!isAttachedLocked(node.get())) return;
        if (node == outputNode_) return; // the output node belongs to the engine for good
        disconnectNodeInput(node);
        disconnectNodeOutput(node);
        std::erase_if(nodes_, [&](const auto& n) { return n == node; });
        node->engine_.reset();
        node->renderEngine_ = nullptr;
        if (node == mainMixer_) mainMixer_.reset();
        if (node == inputNode_) inputNode_.reset();
    }
    // A cycle that outlasted the publisher's wait may still render it; from the rendering thread
    // itself the cycle in progress is the caller's, and it ends after this.
    waitForCycleInProgress(true);
    if (running_) node->auAudioUnit()->markRenderingEnded();
    node->renderingEnded(*this);
}

std::vector<std::shared_ptr<AudioNode>> AudioEngine::attachedNodes() const {
    std::lock_guard lock(graphMutex_);
    return nodes_;
}

bool AudioEngine::reachesLocked(const AudioNode* from, const AudioNode* to) const {
    // Follows outputs downstream from `from`; true when `to` is among them.
    std::vector<const AudioNode*> stack{from};
    std::vector<const AudioNode*> seen;
    while (!stack.empty()) {
        const AudioNode* n = stack.back();
        stack.pop_back();
        if (n == to) return true;
        if (std::find(seen.begin(), seen.end(), n) != seen.end()) continue;
        seen.push_back(n);
        for (const auto& candidate : nodes_)
            for (const auto& in : candidate->inputs_)
                if (in && in->source == n) stack.push_back(candidate.get());
    }
    return false;
}

void AudioEngine::refreshOutputFormatLocked(AudioNode& node, std::uint32_t bus) {
    bool connected = false;
    for (const auto& candidate : nodes_)
        for (const auto& in : candidate->inputs_)
            if (in && in->source == &node && in->bus == bus) connected = true;
    if (!connected && bus < node.outputs_.size()) node.outputs_[bus].format.reset();
}

void AudioEngine::disconnectInputLocked(AudioNode& node, std::uint32_t bus) {
    if (bus >= node.inputs_.size() || !node.inputs_[bus]) return;
    AudioNode* source = node.inputs_[bus]->source;
    const std::uint32_t sourceBus = node.inputs_[bus]->bus;
    node.inputs_[bus].reset();
    refreshOutputFormatLocked(*source, sourceBus);
    node.connectionsChanged();
    source->connectionsChanged();
}

void AudioEngine::disconnectOutputLocked(AudioNode& node, std::uint32_t bus) {
    for (const auto& candidate : nodes_)
        for (std::uint32_t b = 0; b < candidate->inputs_.size(); ++b)
            if (candidate->inputs_[b] && candidate->inputs_[b]->source == &node &&
                candidate->inputs_[b]->bus == bus)
                disconnectInputLocked(*candidate, b);
}

bool AudioEngine::connectLocked(AudioNode& source, std::uint32_t fromBus,
                                const std::vector<AudioConnectionPoint>& points,
                                std::optional<AudioFormat> format, bool replaceFanOut) {
    if (!isAttachedLocked(&source)) {
        logGraph("connect: source " + source.description() + " is not attached to this engine");
        return false;
    }
    if (fromBus >= source.numberOfOutputs()) {
        logGraph("connect: " + source.description() + " has no output bus " + std::to_string(fromBus));
        return false;
    }
    const AudioFormat f = format && !format->isEmpty() ? *format : source.graphOutputFormat(fromBus);
    if (!f.isStandard()) {
        logGraph("connect: only deinterleaved float formats connect nodes, not " + f.description());
        return false;
    }
    for (const auto& p : points) {
        if (!p.node) continue;
        if (!isAttachedLocked(p.node.get())) {
            logGraph("connect: destination " + p.node->description() + " is not attached to this engine");
            return false;
        }
        if (p.node.get() == &source || reachesLocked(p.node.get(), &source)) {
            logGraph("connect: " + source.description() + " to " + p.node->description() +
                     " would make a cycle");
            return false;
        }
        auto& busses = p.node->auAudioUnit()->inputBusses();
        if (p.bus >= busses.count() && !(busses.isCountChangeable() && p.bus < busses.maximumCount())) {
            logGraph("connect: " + p.node->description() + " has no input bus " + std::to_string(p.bus));
            return false;
        }
    }
    if (replaceFanOut) disconnectOutputLocked(source, fromBus);
    for (const auto& p : points) {
        if (!p.node) continue;
        auto& busses = p.node->auAudioUnit()->inputBusses();
        if (p.bus >= busses.count()) busses.setBusCount(p.bus + 1);
        disconnectInputLocked(*p.node, p.bus);
        if (p.node->inputs_.size() <= p.bus) p.node->inputs_.resize(p.bus + 1);
        p.node->inputs_[p.bus] = AudioNode::Input{&source, fromBus, f, nullptr};
        p.node->connectionsChanged();
    }
    source.outputs_[fromBus].format = f;
    refreshOutputFormatLocked(source, fromBus);
    source.connectionsChanged();
    source.reserveRenderStorage();
    for (const auto& p : points)
        if (p.node) p.node->reserveRenderStorage();
    return true;
}

bool AudioEngine::connect(const std::shared_ptr<AudioNode>& source,
                          const std::shared_ptr<AudioNode>& destination, std::uint32_t fromBus,
                          std::uint32_t toBus, std::optional<AudioFormat> format) {
    if (!source || !destination) return false;
    GraphChange change(this);
    return connectLocked(*source, fromBus, {{destination, toBus}}, format, true);
}

bool AudioEngine::connect(const std::shared_ptr<AudioNode>& source,
                          const std::shared_ptr<AudioNode>& destination, std::optional<AudioFormat> format) {
    if (!source || !destination) return false;
    GraphChange change(this);
    std::uint32_t bus = 0;
    if (auto mixer = std::dynamic_pointer_cast<AudioMixerNode>(destination))
        bus = mixer->nextAvailableInputBus();
    return connectLocked(*source, 0, {{destination, bus}}, format, true);
}

bool AudioEngine::connect(const std::shared_ptr<AudioNode>& source,
                          const std::vector<AudioConnectionPoint>& destinations, std::uint32_t fromBus,
                          std::optional<AudioFormat> format) {
    if (!source) return false;
    GraphChange change(this);
    return connectLocked(*source, fromBus, destinations, format, true);
}

void AudioEngine::disconnectNodeInput(const std::shared_ptr<AudioNode>& node) {
    if (!node) return;
    GraphChange change(this);
    for (std::uint32_t b = 0; b < node->inputs_.size(); ++b)
        disconnectInputLocked(*node, b);
}

void AudioEngine::disconnectNodeInput(const std::shared_ptr<AudioNode>& node, std::uint32_t bus) {
    if (!node) return;
    GraphChange change(this);
    disconnectInputLocked(*node, bus);
}

void AudioEngine::disconnectNodeOutput(const std::shared_ptr<AudioNode>& node) {
    if (!node) return;
    GraphChange change(this);
    for (std::uint32_t b = 0; b < node->outputs_.size(); ++b)
        disconnectOutputLocked(*node, b);
}

void AudioEngine::disconnectNodeOutput(const std::shared_ptr<AudioNode>& node, std::uint32_t bus) {
    if (!node) return;
    GraphChange change(this);
    disconnectOutputLocked(*node, bus);
}

std::vector<AudioConnectionPoint> AudioEngine::outputConnectionPoints(const std::shared_ptr<AudioNode>& node,
                                                                      std::uint32_t outputBus) const {
    std::vector<AudioConnectionPoint> points;
    if (!node) return points;
    std::lock_guard lock(graphMutex_);
    for (const auto& candidate : nodes_)
        for (std::uint32_t b = 0; b < candidate->inputs_.size(); ++b)
            if (candidate->inputs_[b] && candidate->inputs_[b]->source == node.get() &&
                candidate->inputs_[b]->bus == outputBus)
                points.push_back({candidate, b});
    return points;
}

std::optional<AudioConnectionPoint> AudioEngine::inputConnectionPoint(const std::shared_ptr<AudioNode>& node,
                                                                      std::uint32_t inputBus) const {
    if (!node) return std::nullopt;
    std::lock_guard lock(graphMutex_);
    if (!isAttachedLocked(node.get()) || inputBus >= node->inputs_.size() || !node->inputs_[inputBus])
        return std::nullopt;
    const auto& in = *node->inputs_[inputBus];
    return AudioConnectionPoint{in.source->shared_from_this(), in.bus};
}

std::shared_ptr<AudioOutputNode> AudioEngine::outputNode() {
    return outputNode_;
}

std::shared_ptr<AudioInputNode> AudioEngine::inputNode() {
    {
        std::lock_guard lock(graphMutex_);
        if (inputNode_) return inputNode_;
    }
    GraphChange change(this);
    if (!inputNode_) {
        inputNode_ = AudioInputNode::make();
        attach(inputNode_);
        if (backend_) inputNode_->setHardwareFormat(backend_->inputFormat());
    }
    return inputNode_;
}

std::shared_ptr<AudioMixerNode> AudioEngine::mainMixerNode() {
    {
        std::lock_guard lock(graphMutex_);
        if (mainMixer_) return mainMixer_;
    }
    GraphChange change(this);
    if (!mainMixer_) {
        mainMixer_ = AudioMixerNode::make();
        attach(mainMixer_);
        connectLocked(*mainMixer_, 0, {{outputNode_, 0}}, outputNode_->renderFormat_, true);
    }
    return mainMixer_;
}

void AudioEngine::setIOBackend(std::shared_ptr<AudioIOBackend> backend) {
    // The backend it replaces goes once the graph lock is let go: its stop takes a lock of its own, under
    // which its start and stop take the graph lock.
    std::shared_ptr<AudioIOBackend> replaced;
    GraphChange change(this);
    replaced = std::exchange(backend_, std::move(backend));
    takeDeviceFormatsLocked();
}

void AudioEngine::takeDeviceFormatsLocked() {
    if (backend_ && !manual_) outputNode_->renderFormat_ = backend_->outputFormat();
    if (backend_ && inputNode_) inputNode_->setHardwareFormat(backend_->inputFormat());
    outputNode_->connectionsChanged();
    outputNode_->reserveRenderStorage();
}

OSStatus AudioEngine::setCurrentDevice(AudioIOBackend& backend, std::uint32_t deviceID) {
    // Another device may have other formats, the input's too when it is the same device (one duplex
    // stream runs at the output's rate): the graph takes them before the device runs again.
    const bool restart = running_.load() && !manual_.load() && backend_.get() == &backend;
    if (restart) backend.stop();
    const OSStatus status = backend.setCurrentDevice(deviceID);
    if (status == noErr) {
        GraphChange change(this);
        if (backend_.get() == &backend) takeDeviceFormatsLocked();
    }
    if (restart) {
        try {
            backend.start(*this);
        } catch (const AudioError& error) {
            // Nothing renders: the engine says it is stopped, and its start tries the device again.
            logGraph(std::string("setCurrentDevice: the device did not start again (") + error.what() +
                     "); the engine has stopped");
            renderingStopped();
            stop();
            return kAudioHardwareBadDeviceError;
        }
    }
    return status;
}

std::shared_ptr<AudioIOBackend> AudioEngine::ioBackend() const {
    std::lock_guard lock(graphMutex_);
    return backend_;
}

void AudioEngine::start() {
    if (running_) return;
    markUnits(&AUAudioUnit::markRenderingResumes);
    if (!(manual_ && manualMode_ == ManualRenderingMode::offline)) startTapThread();
    try {
        if (!manual_ && backend_) backend_->start(*this); // raises when the device will not start
    } catch (...) {
        // Stopped as it was: no thread of its own, and what is sent now waits for a start.
        renderingStopped();
        endTapThread();
        throw;
    }
    running_ = true;
}

void AudioEngine::pause() {
    if (!running_) return;
    if (!manual_ && backend_) backend_->stop();
    renderingStopped();
}

void AudioEngine::renderingStopped() {
    running_ = false;
    markUnits(&AUAudioUnit::markRenderingEnded);
}

void AudioEngine::markUnits(void (AUAudioUnit::*mark)()) {
    std::lock_guard lock(graphMutex_);
    for (auto& node : nodes_)
        (*node->auAudioUnit().*mark)();
}

void AudioEngine::stop() {
    pause();
    endTapThread();
    std::vector<std::shared_ptr<AudioNode>> nodes;
    {
        std::lock_guard lock(graphMutex_);
        for (auto& node : nodes_)
            node->hasRenderTime_ = false;
        nodes = nodes_;
    }
    for (auto& node : nodes)
        node->renderingEnded(*this);
}

void AudioEngine::reset() {
    std::vector<std::shared_ptr<AudioNode>> nodes;
    {
        std::lock_guard lock(graphMutex_);
        nodes = nodes_;
    }
    for (auto& node : nodes)
        node->auAudioUnit()->reset();
}

void AudioEngine::enableManualRenderingMode(ManualRenderingMode mode, const AudioFormat& format,
                                            std::uint32_t maximumFrameCount) {
    if (running_) throw AudioError(AudioError::kDomain, kAudioUnitErr_Initialized, "engine is running");
    if (!format.isStandard())
        throw AudioError(AudioError::kDomain, kAudioUnitErr_FormatNotSupported,
                         "manual rendering needs a deinterleaved float format");
    if (maximumFrameCount == 0 || maximumFrameCount > kMaxManualFrames)
        throw AudioError(AudioError::kDomain, kAudio_ParamError, "maximum frame count out of range");
    GraphChange change(this);
    manualMode_ = mode;
    manualFormat_ = format;
    manualMaxFrames_ = maximumFrameCount;
    outputNode_->renderFormat_ = format;
    for (auto& node : nodes_) {
        node->auAudioUnit()->setMaximumFramesToRender(maximumFrameCount);
        node->connectionsChanged();
        node->reserveRenderStorage();
    }
    sampleTime_ = 0;
    manual_ = true;
    prepareForCycles(maximumFrameCount);
}

void AudioEngine::disableManualRenderingMode() {
    GraphChange change(this);
    if (!manual_) return;
    manual_ = false;
    if (running_.exchange(false)) markUnits(&AUAudioUnit::markRenderingEnded);
    outputNode_->renderFormat_ = backend_ ? backend_->outputFormat() : *AudioFormat::standard(44100, 2);
    outputNode_->connectionsChanged();
    outputNode_->reserveRenderStorage();
}

AudioFormat AudioEngine::manualRenderingFormat() const {
    std::lock_guard lock(graphMutex_);
    return manual_ ? manualFormat_ : AudioFormat{};
}

AudioEngine::ManualRenderingStatus AudioEngine::renderOffline(std::uint32_t frames, PCMBuffer& buffer) {
    if (!manual_ || !running_) return ManualRenderingStatus::error;
    if (frames == 0 || frames > manualMaxFrames_ || frames > buffer.frameCapacity())
        return ManualRenderingStatus::error;
    const AudioFormat& f = buffer.format();
    if (!f.isStandard() || f.channelCount() != manualFormat_.channelCount() ||
        f.sampleRate() != manualFormat_.sampleRate())
        return ManualRenderingStatus::error;
    return renderCycle(frames, buffer, std::nullopt, manualMode_ == ManualRenderingMode::offline);
}

AudioEngine::ManualRenderingStatus AudioEngine::renderCycle(std::uint32_t frames, PCMBuffer& buffer,
                                                            std::optional<std::uint64_t> hostTime,
                                                            bool mayBlock) {
    // Nodes' storage holds no more, and this thread never grows it.
    if (frames > cycleFrames_.load(std::memory_order_acquire))
        return ManualRenderingStatus::cannotDoInCurrentContext;
    ManualRenderingStatus status = ManualRenderingStatus::success;
    std::unique_lock serial(renderers_, std::defer_lock);
    if (mayBlock) serial.lock();
    const AudioEngine* outer = renderingEngine;
    renderingEngine = this;
    epoch_.fetch_add(1); // odd: publishers wait for this cycle before they free what it reads
    Snapshot* graph = snapshot_.load();
    if (graph->generation != adopted_) {
        for (std::size_t i = 0; i < graph->nodes.size(); ++i)
            graph->nodes[i]->render_ = &graph->states[i];
        adopted_ = graph->generation;
    }
    AudioNode& output = *graph->output;
    AudioNode::RenderContext context;
    context.cycle = nextCycle();
    context.sampleTime = sampleTime_.load();
    context.hostTime = hostTime.value_or(0);
    context.hostTimeValid = hostTime.has_value();
    context.sampleRate = output.currentOutputFormat(0).sampleRate();
    context.frames = frames;
    context.mayBlock = mayBlock;
    context.engine = this;
    float* const* dest = buffer.floatChannelData();
    // The output node passes its input through unchanged when nothing converts it: that input
    // can render into the caller's buffer itself.
    AudioNode* direct = nullptr;
    const auto& outputInputs = output.render_->inputs;
    if (!outputInputs.empty() && outputInputs[0] && !outputInputs[0]->conversion &&
        !buffer.format().isInterleaved() && outputInputs[0]->source->renderedCycle_ != context.cycle) {
        direct = outputInputs[0]->source;
        direct->renderInto_ = dest;
        direct->renderIntoBus_ = outputInputs[0]->bus;
        direct->renderIntoChannels_ = buffer.format().channelCount();
    }
    const AudioNode::BusData& out = output.pull(context, 0);
    if (direct) direct->renderInto_ = nullptr;
    const std::uint32_t channels = std::min(buffer.format().channelCount(), out.channels);
    for (std::uint32_t c = 0; c < channels; ++c)
        if (out.data[c] != dest[c]) std::memcpy(dest[c], out.data[c], frames * sizeof(float));
    for (std::uint32_t c = channels; c < buffer.format().channelCount(); ++c)
        std::memset(dest[c], 0, frames * sizeof(float));
    buffer.setFrameLength(frames);
    sampleTime_ += frames;
    if (graph->input && graph->input->renderedCycle_ == context.cycle && graph->input->starvedInLastCycle())
        status = ManualRenderingStatus::insufficientDataFromInputNode;
    const bool published = deliveries_->publish();
    epoch_.fetch_add(1);
    if (publication_->waiting.load()) sem_post(&publication_->cycleEnded);
    renderingEngine = outer;
    if (published) {
        if (deliveries_->threadRunning.load()) {
            deliveries_->wakeIfNeeded();
        } else {
            std::lock_guard lock(deliveries_->consumer);
            deliveries_->drain();
        }
    }
    return status;
}

bool AudioEngine::queueAfterCycle(std::unique_ptr<CycleWork>& work) {
    Deliveries::Item item;
    item.kind = Deliveries::Kind::work;
    item.work = std::move(work);
    if (deliveries_->push(std::move(item))) return true;
    work = std::move(item.work);
    return false;
}

bool AudioEngine::queueTapDelivery(const std::shared_ptr<AudioNode::Tap>& tap, std::uint32_t slot,
                                   std::uint32_t lostFrames, const AudioTime& when,
                                   std::uint32_t zeroedFrames, std::uint64_t take) {
    Deliveries::Item item;
    item.kind = Deliveries::Kind::tap;
    item.take = take;
    item.slot = slot;
    item.lostFrames = lostFrames;
    item.zeroedFrames = zeroedFrames;
    item.when = when;
    // Only a tap that fits takes a reference: the rendering thread never releases the last one.
    if (deliveries_->full()) return false;
    item.tap = tap;
    if (!deliveries_->push(std::move(item))) return false;
    if (AudioNode::poolRunsLow(*tap)) deliveries_->urgent = true;
    return true;
}

bool AudioEngine::queueCaptureReport(std::uint64_t overruns, std::uint64_t underruns,
                                     std::uint64_t discarded) {
    Deliveries::Item item;
    item.kind = Deliveries::Kind::captureReport;
    item.counts[0] = overruns;
    item.counts[1] = underruns;
    item.counts[2] = discarded;
    return deliveries_->push(std::move(item));
}

void AudioEngine::queueTapDeliveryFromOutside(const std::shared_ptr<AudioNode::Tap>& tap, std::uint32_t slot,
                                              std::uint32_t lostFrames, const AudioTime& when,
                                              std::uint64_t lostUpTo, std::uint32_t zeroedFrames,
                                              std::uint64_t take) {
    Deliveries::Item item;
    item.kind = Deliveries::Kind::tap;
    item.tap = tap;
    item.zeroedFrames = zeroedFrames;
    item.take = take;
    item.slot = slot;
    item.lostFrames = lostFrames;
    item.lostUpTo = lostUpTo;
    item.when = when;
    deliveries_->pushOutside(std::move(item));
    if (deliveries_->threadRunning.load() && deliveries_->sleeping.exchange(false))
        sem_post(&deliveries_->wake);
}

void AudioEngine::queueWorkFromOutside(std::unique_ptr<CycleWork> work) {
    Deliveries::Item item;
    item.kind = Deliveries::Kind::work;
    item.work = std::move(work);
    deliveries_->pushOutside(std::move(item));
    if (deliveries_->threadRunning.load()) {
        if (deliveries_->sleeping.exchange(false)) sem_post(&deliveries_->wake);
        return;
    }
    std::lock_guard consumer(deliveries_->consumer);
    deliveries_->drain();
}

void AudioEngine::countLostTapBlock(bool recorder) {
    (recorder ? deliveries_->silencedBlocks : deliveries_->droppedBlocks)
        .fetch_add(1, std::memory_order_relaxed);
}

void AudioEngine::countImpossibleLoss(std::uint64_t frames) {
    deliveries_->lastImpossibleLoss.store(frames, std::memory_order_relaxed);
    deliveries_->impossibleLosses.fetch_add(1, std::memory_order_relaxed);
}

void AudioEngine::countLateNotes(std::uint32_t notes) {
    deliveries_->lateNotes.fetch_add(notes, std::memory_order_relaxed);
}

void AudioEngine::countOutputUnderrun(std::uint64_t silenceFrames) {
    deliveries_->outputUnderrunFrames.fetch_add(silenceFrames, std::memory_order_relaxed);
    deliveries_->outputUnderruns.fetch_add(1, std::memory_order_relaxed);
}

std::uint64_t AudioEngine::outputUnderruns() const {
    return deliveries_->outputUnderruns.load(std::memory_order_relaxed);
}

void AudioEngine::startTapThread() {
    auto d = deliveries_;
    {
        std::unique_lock lock(d->mutex);
        if (d->id == std::this_thread::get_id() && !d->finished) {
            d->ending = false; // restarted from one of its own callbacks: it carries on
            return;
        }
        if (d->threadRunning.load()) return;
        // A thread asked to end by a callback of its own may still be finishing.
        d->changed.wait(lock, [&] { return d->finished; });
        d->ending = false;
        d->finished = false;
        d->threadRunning.store(true);
        // The last thread, finished by now, is joined before another starts.
        if (d->job) BackgroundJobs::shared().join(std::exchange(d->job, 0));
        d->job = BackgroundJobs::shared().run([d] { Deliveries::loop(d); });
    }
}

void AudioEngine::endTapThread() {
    auto d = deliveries_;
    std::unique_lock lock(d->mutex);
    // A callback that stops its own engine cannot wait for itself; its loop ends after it.
    if (d->id == std::this_thread::get_id()) {
        if (!d->finished) {
            d->ending = true;
            sem_post(&d->wake);
        }
        return;
    }
    if (!d->finished) {
        d->ending = true;
        sem_post(&d->wake);
        d->changed.wait(lock, [&] { return d->finished; });
    }
    // Once stop() returns the thread is gone, not only idle: a process forked after it finds none.
    if (d->job) BackgroundJobs::shared().join(std::exchange(d->job, 0));
}

bool AudioEngine::waitForTapDeliveries(std::chrono::nanoseconds timeout) {
    auto d = deliveries_;
    const std::uint64_t target = d->tail.load(std::memory_order_acquire);
    std::uint64_t outsideTarget = 0;
    {
        std::lock_guard outside(d->outsideMutex);
        outsideTarget = d->outsideQueued;
    }
    std::unique_lock lock(d->mutex);
    if (d->threadRunning.load() && d->id != std::this_thread::get_id()) {
        sem_post(&d->wake);
        const auto done = [&] {
            return !d->threadRunning.load() ||
                   (d->delivered.load() >= target && d->outsideDelivered.load() >= outsideTarget);
        };
        if (timeout == std::chrono::nanoseconds::max()) {
            d->changed.wait(lock, done);
            return true;
        }
        return d->changed.wait_for(lock, timeout, done);
    }
    lock.unlock();
    if (!d->threadRunning.load()) {
        std::lock_guard consumer(d->consumer);
        d->drain();
    }
    return true;
}

std::shared_ptr<AudioRingBuffer> AudioEngine::attachCaptureRing(std::uint32_t capacityFrames) {
    GraphChange change(this);
    if (!inputNode_) return nullptr;
    bool feeds = false;
    for (const auto& candidate : nodes_)
        for (const auto& in : candidate->inputs_)
            if (in && in->source == inputNode_.get()) feeds = true;
    const AudioFormat hardware = inputNode_->hardwareFormat();
    if (!feeds || !(hardware.sampleRate() > 0) || hardware.channelCount() == 0) return nullptr;
    auto ring = std::make_shared<AudioRingBuffer>(hardware.channelCount(), capacityFrames);
    // A cushion grown by underruns shrinks back once the input has kept up for a while: soon
    // enough that its latency does not stay, late enough that one trim (itself a jump in the
    // input) covers a run of hiccups.
    ring->setRecoveryFrames(std::uint64_t(5 * hardware.sampleRate()));
    // What stalls and output underruns leave beyond the cushion goes within about a second of them,
    // even while they go on, and whether or not the input is ever quiet.
    ring->setHoldFrames(std::uint64_t(hardware.sampleRate() / 2));
    inputNode_->setCaptureRing(ring);
    return ring;
}

void AudioEngine::prepareForCycles(std::uint32_t maximumFrames) {
    std::lock_guard lock(graphMutex_);
    if (maximumFrames <= reservedCycleFrames_.load()) return;
    reservedCycleFrames_.store(maximumFrames);
    for (auto& node : nodes_)
        node->connectionsChanged(); // converters' room
    publishLocked();                // storage, made by each node's render state
    cycleFrames_.store(maximumFrames, std::memory_order_release);
}

void AudioEngine::detachCaptureRing() {
    GraphChange change(this);
    if (inputNode_) inputNode_->setCaptureRing(nullptr);
}

void AudioEngine::setConnectedOutputFormat(AudioNode& node, std::uint32_t bus, const AudioFormat& format) {
    GraphChange change(this);
    if (!isAttachedLocked(&node) || bus >= node.outputs_.size() || !node.outputs_[bus].format) return;
    node.outputs_[bus].format = format;
    for (const auto& candidate : nodes_)
        for (auto& in : candidate->inputs_)
            if (in && in->source == &node && in->bus == bus) {
                in->format = format;
                candidate->connectionsChanged();
            }
    node.connectionsChanged();
}

} // namespace platform
