#pragma once
#include "platform/audio/AUAudioUnitBusArray.h"
#include "platform/audio/AUParameterTree.h"
#include "platform/audio/AudioComponentDescription.h"
#include "platform/core/LockFreeBatch.h"
#include "platform/core/OSStatus.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace platform {

using AUEventSampleTime = std::int64_t;
using AudioUnitPropertyID = std::uint32_t;
using AudioUnitScope = std::uint32_t;
using AudioUnitElement = std::uint32_t;

// Event times from this value up to 2^32 above it mean "that many frames into the next render cycle".
inline constexpr AUEventSampleTime AUEventSampleTimeImmediate =
    static_cast<AUEventSampleTime>(0xFFFFFFFF00000000ull);

// The processing side of a node: its parameters and how they move while rendering, bypass,
// bus arrays, MIDI input, and properties reached through the AudioUnit calls.
class AUAudioUnit : public std::enable_shared_from_this<AUAudioUnit> {
public:
    using ScheduleParameterBlock =
        std::function<void(AUEventSampleTime eventSampleTime, std::uint32_t rampDurationSampleFrames,
                           AUParameterAddress address, AUValue value)>;
    using ScheduleMIDIEventBlock = std::function<void(AUEventSampleTime eventSampleTime, std::uint8_t cable,
                                                      std::size_t length, const std::uint8_t* midiBytes)>;
    using MIDIHandler = std::function<void(AUEventSampleTime sampleTime, std::uint8_t cable,
                                           const std::vector<std::uint8_t>& bytes)>;
    using PropertyGetter = std::function<OSStatus(AudioUnitScope, AudioUnitElement, void*, std::uint32_t*)>;
    using PropertySetter =
        std::function<OSStatus(AudioUnitScope, AudioUnitElement, const void*, std::uint32_t)>;

    static std::shared_ptr<AUAudioUnit> make(const AudioComponentDescription& description,
                                             std::uint32_t inputBusses, std::uint32_t outputBusses,
                                             bool inputCountChangeable = false);

    const AudioComponentDescription& componentDescription() const { return description_; }

    std::shared_ptr<AUParameterTree> parameterTree() const;
    // Parameters of the tree drive this unit from now on; their current values become the unit's.
    void setParameterTree(std::shared_ptr<AUParameterTree> tree);

    bool shouldBypassEffect() const { return bypass_.load(std::memory_order_acquire); }
    void setShouldBypassEffect(bool bypass) { bypass_.store(bypass, std::memory_order_release); }

    AUAudioUnitBusArray& inputBusses() { return inputBusses_; }
    AUAudioUnitBusArray& outputBusses() { return outputBusses_; }
    std::uint32_t maximumFramesToRender() const { return maximumFrames_.load(); }
    void setMaximumFramesToRender(std::uint32_t frames) { maximumFrames_.store(frames); }

    ScheduleParameterBlock scheduleParameterBlock();
    // Absent on units that take no MIDI.
    std::optional<ScheduleMIDIEventBlock> scheduleMIDIEventBlock();
    // Makes the unit take MIDI: scheduled events reach the handler on the render thread at their frame.
    void setMIDIHandler(MIDIHandler handler);

    // The value the unit renders with; absent for an address it does not know.
    std::optional<AUValue> renderParameterValue(AUParameterAddress address) const;
    // Sets the rendered value at once, ending any ramp; unknown addresses become known.
    void setRenderParameterValue(AUParameterAddress address, AUValue value);
    // Forgets ramps and scheduled events and asks the node to clear its processing state.
    void reset();

    // Properties beyond the built-in ones (bypass, element count, maximum frames per slice).
    void setPropertyHandlers(AudioUnitPropertyID id, PropertyGetter getter, PropertySetter setter = nullptr);
    OSStatus getProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element, void* data,
                         std::uint32_t* size);
    OSStatus setProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         const void* data, std::uint32_t size);

    // --- render side; called with the node's render in progress. The caller's thread changes the
    // parameters under its lock; rendering only tries it, and a try that fails leaves the change for
    // later (parameter events wait for the next frame, values read as they last were). MIDI events
    // reach rendering through a lock-free list, however many, and their storage is reused, never freed
    // there. ---
    // Takes the events scheduled so far into the cycle that starts at sampleTime. A note-on sent while
    // the unit was rendered plays, late or not. One that waited while rendering of the unit had ended
    // (sent after the engine marked the end, or still waiting then) is dropped when rendering resumes,
    // not played with the others at once, unless its time is still to come; what ends or shapes notes
    // still applies. Returns the notes dropped.
    std::uint32_t beginRender(std::int64_t sampleTime);
    // For the engine: rendering of this unit ended (a stop or pause, a detach), or resumes after an end
    // (a start, an attach to a running engine). Only a unit whose rendering ended has a backlog: notes
    // sent before its first start play.
    void markRenderingEnded() { moveSpan(0); }
    void markRenderingResumes() { moveSpan(1); }
    // Note-ons dropped so far because they waited while nothing rendered the unit.
    std::uint64_t lateNotesDropped() const { return lateNotes_.load(std::memory_order_relaxed); }
    // Applies parameter and MIDI events due at or before this sample time.
    void applyEventsDue(std::int64_t sampleTime);
    // Frames from this sample time during which parameters stay constant (1 while a ramp runs).
    std::uint32_t framesUntilNextChange(std::int64_t sampleTime, std::uint32_t limit) const;
    // Moves running ramps on by the given number of frames.
    void advanceRamps(std::uint32_t frames);
    // The rendered value, or the fallback for an unknown address; render thread only.
    AUValue currentValue(AUParameterAddress address, AUValue fallback) const;

    void setResetHandler(std::function<void()> handler) { resetHandler_ = std::move(handler); }

private:
    AUAudioUnit(const AudioComponentDescription& description, std::uint32_t inputs, std::uint32_t outputs,
                bool inputCountChangeable);
    struct RenderParameter {
        AUValue value = 0;
        AUValue start = 0;
        AUValue target = 0;
        std::uint32_t duration = 0;
        std::uint32_t elapsed = 0;
        bool ramping = false;
    };
    struct ScheduledEvent {
        AUEventSampleTime time = 0;
        std::uint32_t duration = 0;
        AUParameterAddress address = 0;
        AUValue value = 0;
    };
    // A MIDI event on its way to rendering; kept for reuse once delivered.
    struct MIDIEvent {
        AUEventSampleTime time = 0;
        std::uint8_t cable = 0;
        std::vector<std::uint8_t> bytes;
        std::uint64_t generation = 0;
        std::uint64_t span = 0; // `renderSpan_` when it was sent
        MIDIEvent* next = nullptr;
    };
    void schedule(ScheduledEvent event);
    void scheduleMIDI(AUEventSampleTime time, std::uint8_t cable, std::size_t length,
                      const std::uint8_t* bytes);
    // Rendering thread: hands a delivered event back to the schedulers.
    void recycle(MIDIEvent* event);
    // Drops the events that wait for rendering and those it holds from its next cycle on.
    void forgetWaitingMIDI();
    // Moves the span on when its parity is `from`: even while the unit is (or may be) rendered.
    void moveSpan(std::uint64_t from) {
        std::uint64_t span = renderSpan_.load(std::memory_order_relaxed);
        if ((span & 1) == from)
            renderSpan_.compare_exchange_strong(span, span + 1, std::memory_order_relaxed);
    }

    AudioComponentDescription description_;
    std::atomic<bool> bypass_{false};
    std::atomic<std::uint32_t> maximumFrames_{4096};
    AUAudioUnitBusArray inputBusses_;
    AUAudioUnitBusArray outputBusses_;

    mutable std::mutex mutex_; // parameters, events and handlers
    std::shared_ptr<AUParameterTree> tree_;
    std::map<AUParameterAddress, RenderParameter> parameters_; // addresses added by the caller's thread only
    std::atomic<bool> hasPending_{false};
    std::atomic<bool> hasActive_{false}; // a hint for rendering, which checks under the lock
    std::vector<ScheduledEvent> pending_;
    std::vector<ScheduledEvent> active_;    // resolved to absolute sample times, in time order
    std::uint32_t unappliedRampFrames_ = 0; // rendering thread: ramp frames not yet applied
    // Values the rendering thread read last, for a cycle that finds the lock taken.
    mutable std::array<std::pair<AUParameterAddress, AUValue>, 32> lastValues_{};
    mutable std::size_t lastValueCount_ = 0;
    std::shared_ptr<const MIDIHandler> midiHandler_;
    std::vector<std::shared_ptr<const MIDIHandler>> handlers_; // every one set: rendering may hold any
    std::atomic<const MIDIHandler*> renderHandler_{nullptr};

    // MIDI: schedulers push onto `incoming_`; rendering takes the whole list, keeps
    // what is not yet due in time order and returns delivered events through `recycled_`.
    std::mutex midiMutex_; // schedulers among themselves
    std::vector<std::unique_ptr<MIDIEvent>> midiEvents_;
    MIDIEvent* spare_ = nullptr; // schedulers
    bool droppingMIDI_ = false;  // schedulers: the last event found too many waiting
    LockFreeBatch<MIDIEvent> incoming_;
    std::atomic<std::uint32_t> waitingMIDI_{0}; // in `incoming_`, or about to be
    LockFreeBatch<MIDIEvent> recycled_;
    std::atomic<std::uint64_t> midiGeneration_{0}; // moved on by reset(): events scheduled before are dropped
    std::uint64_t renderGeneration_ = 0;           // rendering thread
    std::atomic<std::uint64_t> renderSpan_{0};     // moved on by the engine's marks; odd while ended
    std::uint64_t renderedSpan_ = 0;               // rendering thread: the span of its last cycle
    std::atomic<std::uint64_t> lateNotes_{0};
    MIDIEvent* dueHead_ = nullptr; // rendering thread, in time order
    MIDIEvent* dueTail_ = nullptr;
    std::map<AudioUnitPropertyID, std::pair<PropertyGetter, PropertySetter>> properties_;
    std::function<void()> resetHandler_;
};

} // namespace platform
