#pragma once
#include "platform/audio/AudioNode.h"
#include "platform/audio/AudioRingBuffer.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace platform {

// The engine's audio input. In manual rendering its samples come from a block the client gives;
// otherwise from the input device through a capture ring (silence when there is none). A channel map set on
// its audio unit (output scope, element 1) picks and orders the device channels that reach the output bus;
// the bus format follows the map, so connections and taps made after it see the mapped channel count.
class AudioInputNode : public AudioNode {
public:
    // Returns a buffer with at least `frames` frames in the given format, or null when it has none.
    using InputBlock = std::function<const PCMBuffer*(std::uint32_t frames)>;

    static std::shared_ptr<AudioInputNode> make();
    // False for a non-float format.
    bool setManualRenderingInputPCMFormat(const AudioFormat& format, InputBlock block);
    // The device's input format; rate 0 when there is no input device.
    void setHardwareFormat(const AudioFormat& format);
    std::string typeName() const override { return "AVAudioInputNode"; }

    std::vector<std::int32_t> channelMap() const;

    // Real-time capture: the device's frames in its hardware format, read once per render cycle.
    // Engines set it while their backend runs the input; null when nothing is captured (silence).
    void setCaptureRing(std::shared_ptr<AudioRingBuffer> ring);
    std::shared_ptr<AudioRingBuffer> captureRing() const;
    AudioFormat hardwareFormat() const;

    // True when the block had nothing during the last cycle.
    bool starvedInLastCycle() const { return starved_; }

protected:
    AudioInputNode();
    void render(const RenderContext& context) override;
    AudioFormat defaultOutputFormat(std::uint32_t bus) const override;
    std::shared_ptr<const void> renderExtras() const override;

private:
    OSStatus setChannelMap(AudioUnitScope scope, AudioUnitElement element, const void* data,
                           std::uint32_t size);
    AudioFormat format_ = *AudioFormat::standard(44100, 2);
    void reportCaptureLosses(const RenderContext& context, AudioRingBuffer& ring);

    // What rendering reads, published with the graph.
    struct Published {
        std::shared_ptr<InputBlock> block;
        std::shared_ptr<AudioRingBuffer> ring;
        std::vector<std::int32_t> map;
    };
    std::shared_ptr<InputBlock> block_; // under the graph lock
    bool starved_ = false;
    std::shared_ptr<AudioRingBuffer> ring_; // under the graph lock
    // Rendering thread. Rings are told apart by serial: a new one may sit where an old one was.
    std::uint64_t countedRing_ = 0; // the ring the counts below are of
    std::uint64_t lastReport_ = 0;
    std::uint64_t reportedOverruns_ = 0;
    std::uint64_t reportedUnderruns_ = 0;
    std::uint64_t reportedDiscarded_ = 0;
    // Where the ring lost frames, so that recorders get silence in that place: the ring drops what
    // does not fit, the newest frames, so an overrun sits a ring's length past the frames read when it
    // happened. Rendering thread.
    struct Gap {
        std::uint64_t at = 0; // frames the ring had given out or discarded before it
        std::uint64_t frames = 0;
    };
    static constexpr std::size_t kGaps = 16;
    std::uint64_t gapRing_ = 0;       // the ring the fields below are of
    std::uint64_t taken_ = 0;         // frames it gave out or discarded
    std::uint64_t overrunsSeen_ = 0;  // its overruns placed as gaps
    std::uint64_t discardedSeen_ = 0; // its discards told
    std::array<Gap, kGaps> gaps_{};   // in order
    std::size_t gapCount_ = 0;
    mutable std::mutex mapMutex_; // the map is read without the graph lock by the property getter
    std::vector<std::int32_t> channelMap_;
};

} // namespace platform
