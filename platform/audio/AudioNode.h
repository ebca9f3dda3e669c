#pragma once
#include "platform/audio/AUAudioUnit.h"
#include "platform/audio/AudioFormat.h"
#include "platform/audio/AudioTime.h"
#include "platform/audio/PCMBuffer.h"
#include "platform/audio/SampleRateConverter.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class AudioEngine;

// A node of an engine's graph. Nodes render by pulling their inputs once per render cycle, so a
// node that feeds several others is rendered once and its output shared.
class AudioNode : public std::enable_shared_from_this<AudioNode> {
public:
    using TapBlock = std::function<void(std::shared_ptr<PCMBuffer> buffer, AudioTime when)>;
    // Told, on the tap thread, of each run of frames of silence a recorder is about to get in place of
    // audio that was lost.
    using TapSilenceBlock = std::function<void(std::uint32_t frames)>;
    // Told, on the tap thread, in order with a recorder's blocks: the blocks and silence that follow
    // belong to this take (0: to none), and none of the take before it follows.
    using TapTakeBlock = std::function<void(std::uint64_t take)>;
    static constexpr std::uint64_t kSameTake = ~0ull;

    virtual ~AudioNode();
    AudioNode(const AudioNode&) = delete;
    AudioNode& operator=(const AudioNode&) = delete;

    std::shared_ptr<AudioEngine> engine() const { return engine_.lock(); }
    std::uint32_t numberOfInputs() const;
    std::uint32_t numberOfOutputs() const;
    AudioFormat inputFormat(std::uint32_t bus) const;
    AudioFormat outputFormat(std::uint32_t bus) const;
    const std::shared_ptr<AUAudioUnit>& auAudioUnit() const { return unit_; }
    // When the node last rendered; absent while its engine is not rendering.
    std::optional<AudioTime> lastRenderTime() const;
    // Clears processing state (voices, delay lines, positions); connections stay.
    virtual void reset();

    // How this node is mixed into the mixers it feeds: gain and left-right balance (-1...1).
    float volume() const { return volume_.load(std::memory_order_relaxed); }
    void setVolume(float volume);
    float pan() const { return pan_.load(std::memory_order_relaxed); }
    void setPan(float pan);

    // What happens to a block the tap thread has no room for: an analysis tap drops it; a recorder
    // gets silence of the same length in its place, so that takes and channels stay in time.
    enum class TapKind { analysis, recorder };
    // One tap per output bus; the block gets exactly bufferSize frames each time, after the render
    // cycle, on the engine's tap thread (on the rendering thread in offline rendering). Its buffers
    // come from a pool made here; a buffer the block keeps is replaced in the pool by a new one. False
    // when the bus has a tap, does not exist or the format does not match the bus.
    bool installTap(std::uint32_t bus, std::uint32_t bufferSize, std::optional<AudioFormat> format,
                    TapBlock block, TapKind kind = TapKind::analysis, TapSilenceBlock silence = {},
                    TapTakeBlock take = {});
    void removeTap(std::uint32_t bus);
    // Any thread, without waiting: a recorder tap's frames rendered from the next cycle on belong to
    // `take` (numbered upwards by the recorder; 0 for none). Rendering ends the block being filled
    // where the take changes, and hands it over with the take it belongs to. False without a recorder tap.
    bool setTapTake(std::uint32_t bus, std::uint64_t take);
    // Any thread but rendering: a recorder tap that stays gets the silence owed for blocks lost so far
    // after everything rendering handed over before, without waiting for a block to carry it. A take
    // that ends keeps its length this way.
    void queueOwedTapSilence(std::uint32_t bus);

    virtual std::string typeName() const = 0;
    std::string description() const;

    // --- rendering; used by the engine and by nodes that pull their inputs ---
    static constexpr std::uint32_t kMaxChannels = AudioFormat::maxChannelCount;
    struct RenderContext {
        std::uint64_t cycle = 0;
        std::int64_t sampleTime = 0;
        std::uint64_t hostTime = 0;
        bool hostTimeValid = false;
        double sampleRate = 0;
        std::uint32_t frames = 0;
        bool mayBlock = false;         // offline rendering: a node may wait for what it needs
        AudioEngine* engine = nullptr; // whose cycle it is
    };
    // A bus's samples for the current cycle; valid until the next cycle.
    struct BusData {
        std::uint32_t channels = 0;
        std::uint32_t frames = 0;
        bool silent = true;
        std::array<const float*, kMaxChannels> data{};
    };
    const BusData& pull(const RenderContext& context, std::uint32_t bus);

    // A tap's buffers and the rendering thread's place in them; handed to the tap thread by the engine.
    struct Tap;
    // Tap thread: gives the block the buffer of `slot` (after `lostFrames` of silence for a recorder;
    // `zeroedFrames` of the buffer are silence in place of lost input) and returns the slot to the pool.
    // With `lostUpTo`, silence for every frame lost up to that count that no delivery has carried yet.
    static void deliver(Tap& tap, std::uint32_t slot, std::uint32_t lostFrames, AudioTime when,
                        std::uint32_t zeroedFrames = 0, std::uint64_t lostUpTo = 0,
                        std::uint64_t take = kSameTake);
    // Rendering thread: three quarters of the tap's buffers or more wait for the tap thread.
    static bool poolRunsLow(Tap& tap);

protected:
    AudioNode(std::shared_ptr<AUAudioUnit> unit);

    virtual void render(const RenderContext& context) = 0;
    // The format of an output bus that nothing is connected to; under the graph lock.
    virtual AudioFormat defaultOutputFormat(std::uint32_t bus) const;
    // Called under the engine's graph lock when a connection of this node changed.
    virtual void connectionsChanged() {}
    // Called, without the graph lock, once no cycle of `engine` renders this node any more: after it
    // was detached, or the engine stopped. What the node still owes the engine's tap thread goes now.
    virtual void renderingEnded(AudioEngine&) {}
    // Under the graph lock: the node's own state that rendering reads, published with the graph;
    // rendering finds it in publishedExtras().
    virtual std::shared_ptr<const void> renderExtras() const { return nullptr; }

    // --- render code: the graph as last published, never the lock ---
    // The source feeding an input bus, pulled for this cycle; null when nothing is connected.
    const BusData* pullInput(const RenderContext& context, std::uint32_t bus);
    // The same at the rate of output bus 0, through the converter the connection made when the
    // rates differ.
    const BusData* pullInputAtOutputRate(const RenderContext& context, std::uint32_t bus);
    // Storage for an output bus in its format, frames long; marks the bus as not silent.
    float* const* outputChannels(std::uint32_t bus, std::uint32_t frames);
    // Points an output bus at samples someone else keeps alive until the next cycle.
    void setOutputView(std::uint32_t bus, const BusData& view);
    void setOutputSilent(std::uint32_t bus, std::uint32_t frames);
    AudioEngine* engineForRender() const { return renderEngine_.load(std::memory_order_relaxed); }
    std::uint32_t inputBusCountForRender() const;
    // Rendering thread, during render(): audio lost before this cycle reached this node (a capture
    // ring's overruns and trims), in this node's frames, lost before frame `at` of the cycle. It passes
    // on to every node this one feeds, at each one's rate and place in time, and recorders tapping any
    // of them get silence of that duration where it was lost, so their takes keep time. A cycle keeps
    // kLostRuns places: a loss beyond them joins the run before it (or the first), so no frame of it
    // goes uncounted.
    void addLostInputFrames(std::uint64_t frames, std::uint32_t at = 0) { addLostRun(frames, at, false); }
    // The same as the cycle's only loss.
    void setLostInputFrames(std::uint64_t frames, std::uint32_t at = 0) {
        lostCount_ = 0;
        addLostRun(frames, at, false);
    }
    bool isInputConnected(std::uint32_t bus) const;
    const AudioNode* inputSource(std::uint32_t bus) const;
    AudioFormat currentOutputFormat(std::uint32_t bus) const;
    const void* publishedExtras() const;

    // --- the graph as the caller's thread changes it, under the graph lock ---
    bool graphInputConnected(std::uint32_t bus) const;
    AudioFormat graphInputFormat(std::uint32_t bus) const;
    AudioFormat graphOutputFormat(std::uint32_t bus) const;
    // Makes the converters and scratch that pullInputAtOutputRate() needs, so that rendering never does.
    void prepareInputConversions();
    // Rendering clears the converters' state at its next cycle.
    void resetInputConversions();

private:
    friend class AudioEngine;
    struct Conversion;
    struct Feed;
    struct Input {
        AudioNode* source = nullptr;
        std::uint32_t bus = 0;
        AudioFormat format;
        std::shared_ptr<Conversion> conversion; // when the source's rate is not this node's
    };
    struct Output {
        std::optional<AudioFormat> format; // set while connected
        std::shared_ptr<std::vector<float>> storage;
        std::array<float*, kMaxChannels> writable{}; // rendering thread
        BusData view;                                // rendering thread
        std::shared_ptr<Tap> tap;
        std::shared_ptr<Feed> feed; // while a converting input takes this bus
        // Rendering thread: this bus's own time line when converters take it, and the losses before
        // it. They outlive any one feed, so that a feed made anew carries on where the last one was.
        std::int64_t fedUntil = 0;
        std::uint64_t fedLost = 0;
        // Where in its time line the frames it fed were lost, the last kFedGaps of them; a converting
        // input that falls further behind places the rest at the start of its cycle.
        struct FedGap {
            std::int64_t at = 0;
            std::uint64_t frames = 0;
        };
        static constexpr std::size_t kFedGaps = 16;
        std::array<FedGap, kFedGaps> fedGaps{};
        std::uint64_t fedGapCount = 0;
        const Feed* feedInUse = nullptr;
        std::int64_t feedFrom = 0;    // the first frame the feed in use holds
        std::uint64_t feedCycle = 0;  // the cycle that took from the feed last
        std::int64_t feedCycleAt = 0; // `fedUntil` when that cycle began taking
    };
    // What rendering reads of the graph around the node: a copy made under the graph lock and
    // published by the engine with those of the other nodes.
    struct RenderState {
        struct Out {
            AudioFormat format;
            std::shared_ptr<Tap> tap;
            std::shared_ptr<std::vector<float>> storage;
            std::shared_ptr<Feed> feed;
        };
        std::vector<std::optional<Input>> inputs;
        std::vector<Out> outputs;
        std::shared_ptr<const void> extras;
    };
    RenderState makeRenderState();
    void deliverTaps(const RenderContext& context);
    // Rendering thread: frames `from` to `to` of the view (or as many zeros) into a tap's blocks.
    void fillTap(const RenderContext& context, const std::shared_ptr<Tap>& tap, const BusData& view,
                 std::uint32_t from, std::uint32_t to, bool zeros);
    // Rendering thread: hands over the buffer being filled, full or not.
    void handOverTap(const RenderContext& context, const std::shared_ptr<Tap>& tap);
    // Rendering thread: the take a recorder tap's frames belong to changed at the start of this cycle.
    void changeTapTake(const RenderContext& context, const std::shared_ptr<Tap>& tap, std::uint64_t take);
    // Rendering thread: the feed of output bus `bus` for a converting input about to take from it in
    // this cycle, and where an input that has taken nothing yet starts; null when it has none.
    Feed* feedForCycle(const RenderContext& context, std::uint32_t bus, std::int64_t& start);
    // Rendering thread: up to `frames` frames of the feed from `position` on, at this node's own
    // rate, rendered once however many converting inputs take them; 0 when it renders none.
    std::uint32_t readFeed(const RenderContext& context, std::uint32_t bus, Feed& feed, double rate,
                           std::int64_t& position, std::uint32_t frames,
                           std::array<const float*, kMaxChannels>& data);
    // Under the graph lock: output storage for the largest cycle, so that rendering does not grow it.
    void reserveRenderStorage();
    // Under the graph lock: the frames of the largest cycle rendered here.
    std::uint32_t maximumRenderFrames() const;
    Output& output(std::uint32_t bus);

    std::shared_ptr<AUAudioUnit> unit_;
    std::weak_ptr<AudioEngine> engine_;
    std::atomic<AudioEngine*> renderEngine_{nullptr};
    std::vector<std::optional<Input>> inputs_;
    std::vector<Output> outputs_;
    const RenderState* render_ = nullptr; // rendering thread: the state of the snapshot it renders
    std::atomic<bool> resetConversions_{false};
    std::uint64_t renderedCycle_ = 0;
    std::int64_t renderedUntil_ = 0; // rendering thread: the end of the last cycle rendered
    // Input lost in the cycle last rendered, in this node's frames, in order of the frame it was lost
    // before. Losses that reach the node along several paths are one loss: at one place the largest counts.
    struct LostRun {
        std::uint32_t at = 0;
        std::uint64_t frames = 0;
    };
    static constexpr std::size_t kLostRuns = 8;
    std::array<LostRun, kLostRuns> lost_{};
    std::size_t lostCount_ = 0;
    // `merge`: the loss may be one that reached the node along another path already.
    void addLostRun(std::uint64_t frames, std::uint32_t at, bool merge);
    std::uint64_t lostTotal() const;
    // For one cycle, set by the engine: the caller's channels, which output bus `renderIntoBus_`
    // renders straight into when it has as many channels, saving a copy at the end of the cycle.
    float* const* renderInto_ = nullptr;
    std::uint32_t renderIntoBus_ = 0;
    std::uint32_t renderIntoChannels_ = 0;
    std::atomic<float> volume_{1.0f};
    std::atomic<float> pan_{0.0f};
    std::atomic<bool> hasRenderTime_{false};
    std::atomic<std::int64_t> lastSampleTime_{0};
    std::atomic<std::uint64_t> lastHostTime_{0};
    std::atomic<bool> lastHostTimeValid_{false};
    std::atomic<double> lastSampleRate_{0};
};

} // namespace platform
