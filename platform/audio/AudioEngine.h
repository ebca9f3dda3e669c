#pragma once
#include "platform/audio/AudioConnectionPoint.h"
#include "platform/audio/AudioFormat.h"
#include "platform/audio/AudioNode.h"
#include "platform/audio/PCMBuffer.h"
#include "platform/core/OSStatus.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace platform {

class AudioMixerNode;
class AudioInputNode;
class AudioOutputNode;
class AudioRingBuffer;

// Starts and stops real-time output for an engine; the engine pulls its graph through
// renderCycle() on the backend's thread.
class AudioIOBackend {
public:
    virtual ~AudioIOBackend() = default;
    virtual void start(AudioEngine& engine) = 0;
    virtual void stop() = 0;
    virtual AudioFormat outputFormat() const = 0;
    // The input device's format; the empty format (rate 0) when there is no input.
    virtual AudioFormat inputFormat() const { return {}; }
    // What the output unit answers for its current device and buffer frame size.
    virtual OSStatus currentDevice(std::uint32_t& deviceID) const {
        deviceID = 0;
        return noErr;
    }
    virtual OSStatus setCurrentDevice(std::uint32_t deviceID) {
        return deviceID == 0 ? noErr : kAudio_ParamError;
    }
    virtual OSStatus bufferFrameSize(std::uint32_t& frames) const {
        frames = 0;
        return kAudioUnitErr_PropertyNotInUse;
    }
};

// A graph of audio nodes rendered by pulling from its output node: in real time through an I/O
// backend, or on demand (manual rendering) into buffers the caller gives.
class AudioEngine : public std::enable_shared_from_this<AudioEngine> {
public:
    enum class ManualRenderingMode { offline = 0, realtime = 1 };
    enum class ManualRenderingStatus : int {
        error = -1,
        success = 0,
        insufficientDataFromInputNode = 1,
        cannotDoInCurrentContext = 2,
    };

    static std::shared_ptr<AudioEngine> make();
    ~AudioEngine();
    AudioEngine(const AudioEngine&) = delete;
    AudioEngine& operator=(const AudioEngine&) = delete;

    // False (with a log line) for a node attached to another engine. Attaching twice is harmless.
    bool attach(const std::shared_ptr<AudioNode>& node);
    // Removes the node's connections, then the node.
    void detach(const std::shared_ptr<AudioNode>& node);
    std::vector<std::shared_ptr<AudioNode>> attachedNodes() const;

    // Connects one output bus to one input bus, replacing what that input had and what that
    // output fed. Without a format the source's output format is used. False (with a log line)
    // for unattached nodes, missing busses, non-float formats and connections that would close a cycle.
    bool connect(const std::shared_ptr<AudioNode>& source, const std::shared_ptr<AudioNode>& destination,
                 std::uint32_t fromBus, std::uint32_t toBus, std::optional<AudioFormat> format);
    // Output bus 0 to input bus 0, or to a mixer's next available input bus.
    bool connect(const std::shared_ptr<AudioNode>& source, const std::shared_ptr<AudioNode>& destination,
                 std::optional<AudioFormat> format);
    // Makes the given points the whole fan-out of the source's output bus; points without a node
    // are skipped.
    bool connect(const std::shared_ptr<AudioNode>& source,
                 const std::vector<AudioConnectionPoint>& destinations, std::uint32_t fromBus,
                 std::optional<AudioFormat> format);
    void disconnectNodeInput(const std::shared_ptr<AudioNode>& node);
    void disconnectNodeInput(const std::shared_ptr<AudioNode>& node, std::uint32_t bus);
    void disconnectNodeOutput(const std::shared_ptr<AudioNode>& node);
    void disconnectNodeOutput(const std::shared_ptr<AudioNode>& node, std::uint32_t bus);
    std::vector<AudioConnectionPoint> outputConnectionPoints(const std::shared_ptr<AudioNode>& node,
                                                             std::uint32_t outputBus) const;
    // The source (node and its output bus) feeding an input bus.
    std::optional<AudioConnectionPoint> inputConnectionPoint(const std::shared_ptr<AudioNode>& node,
                                                             std::uint32_t inputBus) const;

    std::shared_ptr<AudioOutputNode> outputNode();
    std::shared_ptr<AudioInputNode> inputNode();
    // Made on first use and connected to the output node.
    std::shared_ptr<AudioMixerNode> mainMixerNode();

    void prepare() {}
    // Raises AudioError when the backend cannot start.
    void start();
    void pause();
    void stop();
    void reset();
    bool isRunning() const { return running_.load(); }
    // The output node's audio unit answers the current-device and buffer-size properties from it.
    void setIOBackend(std::shared_ptr<AudioIOBackend> backend);
    std::shared_ptr<AudioIOBackend> ioBackend() const;
    // The output unit's current-device property: the backend's device, whose formats the output and
    // input nodes take; a running engine stops its backend meanwhile. When the device does not start
    // again the engine is stopped (logged; kAudioHardwareBadDeviceError), and start() tries again.
    OSStatus setCurrentDevice(AudioIOBackend& backend, std::uint32_t deviceID);

    // Raises AudioError while running, for a non-float format or a frame count of 0 or above 2^20.
    void enableManualRenderingMode(ManualRenderingMode mode, const AudioFormat& format,
                                   std::uint32_t maximumFrameCount);
    void disableManualRenderingMode();
    bool isInManualRenderingMode() const { return manual_.load(); }
    ManualRenderingMode manualRenderingMode() const { return manualMode_; }
    AudioFormat manualRenderingFormat() const;
    std::uint32_t manualRenderingMaximumFrameCount() const { return manualMaxFrames_; }
    std::int64_t manualRenderingSampleTime() const { return sampleTime_.load(); }
    ManualRenderingStatus renderOffline(std::uint32_t frames, PCMBuffer& buffer);

    // One render cycle into the buffer (its format is the output node's). Backends call this on their
    // thread. The cycle renders the graph as last published (every change made under the graph lock
    // is published when the change ends) and never takes the graph lock, so every cycle renders.
    // What nodes hand over (tap buffers, completions) goes, when the cycle ends, through a
    // preallocated queue to the engine's tap thread, which start() starts (except in offline manual
    // rendering) and stop() ends once it has delivered everything; without a tap thread it runs on
    // this thread after the cycle. Cycles of one engine come from one thread at a time; `mayBlock`
    // (offline rendering) lets a cycle wait for one running on another thread.
    ManualRenderingStatus renderCycle(std::uint32_t frames, PCMBuffer& buffer,
                                      std::optional<std::uint64_t> hostTime, bool mayBlock);
    // Returns once everything queued by cycles that ended before the call has been delivered; false
    // when the timeout came first.
    bool waitForTapDeliveries(std::chrono::nanoseconds timeout = std::chrono::nanoseconds::max());

    // --- for nodes ---
    std::recursive_mutex& graphMutex() const { return graphMutex_; }
    // Holds the graph lock; when the outermost change ends, the graph is published for rendering.
    // Does nothing without an engine.
    class GraphChange {
    public:
        explicit GraphChange(AudioEngine* engine);
        ~GraphChange();
        GraphChange(const GraphChange&) = delete;
        GraphChange& operator=(const GraphChange&) = delete;

    private:
        AudioEngine* engine_;
    };
    // Under the graph lock: publishes the graph now and returns once no cycle renders an older one
    // (at once on the rendering thread itself, which finishes its cycle on what it has). False when a
    // cycle may still render an older one: on the rendering thread, or after a long wait for a cycle
    // on another thread.
    bool publishGraph();
    // Returns once a cycle in progress on another thread has ended: what it was given may go. Gives up
    // after a while, unless `untilItEnds`; at once on the rendering thread.
    void waitForCycleInProgress(bool untilItEnds = false);
    std::uint64_t nextCycle() { return cycle_.fetch_add(1) + 1; }
    // Work a node hands to the tap thread; it is destroyed there after running.
    struct CycleWork {
        virtual ~CycleWork() = default;
        virtual void run() = 0;
    };
    // Rendering thread, never waiting. False when the queue is full: the caller keeps what it gave.
    bool queueAfterCycle(std::unique_ptr<CycleWork>& work);
    // Any other thread: runs on the tap thread after everything rendering handed over before; at
    // once on this thread when the engine has no tap thread.
    void queueWorkFromOutside(std::unique_ptr<CycleWork> work);
    // `take`: the recorder's take the delivery belongs to (AudioNode::kSameTake: the one before it).
    bool queueTapDelivery(const std::shared_ptr<AudioNode::Tap>& tap, std::uint32_t slot,
                          std::uint32_t lostFrames, const AudioTime& when, std::uint32_t zeroedFrames = 0,
                          std::uint64_t take = AudioNode::kSameTake);
    // Any other thread: delivered after everything rendering handed over before.
    void queueTapDeliveryFromOutside(const std::shared_ptr<AudioNode::Tap>& tap, std::uint32_t slot,
                                     std::uint32_t lostFrames, const AudioTime& when,
                                     std::uint64_t lostUpTo = 0, std::uint32_t zeroedFrames = 0,
                                     std::uint64_t take = AudioNode::kSameTake);
    // Capture losses since the last report, logged by the tap thread.
    bool queueCaptureReport(std::uint64_t overruns, std::uint64_t underruns, std::uint64_t discarded);
    // A tap block lost because the tap thread fell behind; counted here, logged by the tap thread.
    void countLostTapBlock(bool recorder);
    // A recorder was told of a loss too long to be true and wrote no silence for it; logged by the
    // tap thread.
    void countImpossibleLoss(std::uint64_t frames);
    // Note-ons a unit dropped because they waited while nothing rendered it; logged by the tap thread.
    void countLateNotes(std::uint32_t notes);
    // For backends, on the rendering thread: the output device played silence (an underrun it reported
    // or its callbacks' timing shows), about this many frames when known. Logged by the tap thread.
    void countOutputUnderrun(std::uint64_t silenceFrames);
    std::uint64_t outputUnderruns() const;
    // A connected output bus takes a new format, and so does every input it feeds; for nodes whose
    // bus format changes by itself. Nothing when the bus is not connected.
    // For backends that run the input device: a ring for the input node's captured frames, when the
    // input node feeds the graph and has a hardware format; null otherwise. Detach when the device stops.
    std::shared_ptr<AudioRingBuffer> attachCaptureRing(std::uint32_t capacityFrames);
    // For backends, before their device can run a cycle: the most frames one cycle will render. Node
    // storage is made for it here, on the caller's thread, so that rendering never grows it; a cycle
    // of more frames than storage holds renders nothing (cannotDoInCurrentContext). Never below 4,096.
    void prepareForCycles(std::uint32_t maximumFrames);
    // For nodes, under the graph lock: the frames of the largest cycle that their storage must hold.
    std::uint32_t maximumFramesPerCycle() const { return reservedCycleFrames_.load(); }
    void detachCaptureRing();
    void setConnectedOutputFormat(AudioNode& node, std::uint32_t bus, const AudioFormat& format);

private:
    AudioEngine() = default;
    bool isAttachedLocked(const AudioNode* node) const;
    bool reachesLocked(const AudioNode* from, const AudioNode* to) const;
    void disconnectInputLocked(AudioNode& node, std::uint32_t bus);
    void disconnectOutputLocked(AudioNode& node, std::uint32_t bus);
    bool connectLocked(AudioNode& source, std::uint32_t fromBus,
                       const std::vector<AudioConnectionPoint>& points, std::optional<AudioFormat> format,
                       bool replaceFanOut);
    void refreshOutputFormatLocked(AudioNode& node, std::uint32_t bus);
    // Under the graph lock: the backend's output and input formats for the output and input nodes.
    void takeDeviceFormatsLocked();
    void startTapThread();
    // Every attached node's unit: where rendering of them ends or resumes.
    void markUnits(void (AUAudioUnit::*mark)());
    // Once nothing renders the graph any more: the engine is not running.
    void renderingStopped();
    struct Snapshot;
    struct Publication;
    bool publishLocked();
    // Waits until the cycle counted by `epoch` (odd while it runs) is over; false after the deadline.
    bool waitForCycleEnd(std::uint64_t epoch);
    // Delivers what the tap thread has, then ends it.
    void endTapThread();

    mutable std::recursive_mutex graphMutex_;
    std::vector<std::shared_ptr<AudioNode>> nodes_;
    std::shared_ptr<AudioOutputNode> outputNode_;
    std::shared_ptr<AudioInputNode> inputNode_;
    std::shared_ptr<AudioMixerNode> mainMixer_;
    std::shared_ptr<AudioIOBackend> backend_;
    std::atomic<bool> running_{false};
    std::atomic<bool> manual_{false};
    ManualRenderingMode manualMode_ = ManualRenderingMode::offline;
    AudioFormat manualFormat_;
    std::uint32_t manualMaxFrames_ = 0;
    std::atomic<std::int64_t> sampleTime_{0};
    std::atomic<std::uint64_t> cycle_{0};
    std::atomic<std::uint32_t> reservedCycleFrames_{4096}; // raised under the graph lock
    std::atomic<std::uint32_t> cycleFrames_{4096};         // raised once published storage holds it
    struct Deliveries;
    std::shared_ptr<Deliveries> deliveries_; // shared with the tap thread, which may outlive a stop()
    int changeDepth_ = 0;                    // under the graph lock
    std::uint64_t generation_ = 0;           // under the graph lock
    std::uint64_t adopted_ = 0;              // rendering thread: the generation its nodes point into
    std::atomic<Snapshot*> snapshot_{nullptr};
    std::atomic<std::uint64_t> epoch_{0}; // odd while a cycle renders
    std::unique_ptr<Publication> publication_;
    std::mutex renderers_; // cycles that may block wait here for one on another thread
};

} // namespace platform
