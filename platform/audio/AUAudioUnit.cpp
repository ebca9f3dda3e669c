#include "platform/audio/AUAudioUnit.h"

#include "platform/audio/AudioUnitCalls.h"
#include "platform/core/LogSink.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

namespace platform {

namespace {
constexpr std::int64_t kImmediateWindow = std::int64_t{1} << 32;
constexpr std::size_t kPreparedMIDIEvents = 256;
// Events sent while nothing renders wait at most this many; more are dropped. Far beyond what a
// cycle takes from a MIDI wire, and bounded so that a unit that is not rendered neither grows nor
// plays a long backlog at once when it is.
constexpr std::uint32_t kMaxWaitingMIDIEvents = 4096;

bool isImmediate(AUEventSampleTime time) {
    return time >= AUEventSampleTimeImmediate && time - AUEventSampleTimeImmediate < kImmediateWindow;
}

// Where an event scheduled for `time` plays in the cycle that starts at `sampleTime`.
std::int64_t resolve(AUEventSampleTime time, std::int64_t sampleTime) {
    if (isImmediate(time)) return sampleTime + (time - AUEventSampleTimeImmediate);
    return time < sampleTime ? sampleTime : time; // late events play at once
}

bool isNoteOn(const std::vector<std::uint8_t>& bytes) {
    return bytes.size() >= 3 && (bytes[0] & 0xF0) == 0x90 && bytes[2] != 0;
}
} // namespace

AUAudioUnit::AUAudioUnit(const AudioComponentDescription& description, std::uint32_t inputs,
                         std::uint32_t outputs, bool inputCountChangeable)
    : description_(description), inputBusses_(inputs, inputCountChangeable), outputBusses_(outputs, false) {}

std::shared_ptr<AUAudioUnit> AUAudioUnit::make(const AudioComponentDescription& description,
                                               std::uint32_t inputBusses, std::uint32_t outputBusses,
                                               bool inputCountChangeable) {
    return std::shared_ptr<AUAudioUnit>(
        new AUAudioUnit(description, inputBusses, outputBusses, inputCountChangeable));
}

std::shared_ptr<AUParameterTree> AUAudioUnit::parameterTree() const {
    std::lock_guard lock(mutex_);
    return tree_;
}

void AUAudioUnit::setParameterTree(std::shared_ptr<AUParameterTree> tree) {
    {
        std::lock_guard lock(mutex_);
        tree_ = tree;
        if (tree)
            for (const auto& p : tree->allParameters()) {
                RenderParameter rp;
                rp.value = p->value();
                parameters_[p->address()] = rp;
            }
    }
    if (tree)
        for (const auto& p : tree->allParameters())
            p->owner_ = weak_from_this();
}

AUAudioUnit::ScheduleParameterBlock AUAudioUnit::scheduleParameterBlock() {
    std::weak_ptr<AUAudioUnit> weak = weak_from_this();
    return [weak](AUEventSampleTime time, std::uint32_t duration, AUParameterAddress address, AUValue value) {
        if (auto unit = weak.lock()) {
            ScheduledEvent e;
            e.time = time;
            e.duration = duration;
            e.address = address;
            e.value = value;
            unit->schedule(std::move(e));
        }
    };
}

std::optional<AUAudioUnit::ScheduleMIDIEventBlock> AUAudioUnit::scheduleMIDIEventBlock() {
    {
        std::lock_guard lock(mutex_);
        if (!midiHandler_ || !*midiHandler_) return std::nullopt;
    }
    std::weak_ptr<AUAudioUnit> weak = weak_from_this();
    return [weak](AUEventSampleTime time, std::uint8_t cable, std::size_t length, const std::uint8_t* bytes) {
        auto unit = weak.lock();
        if (!unit || (length && !bytes)) return;
        unit->scheduleMIDI(time, cable, length, bytes);
    };
}

void AUAudioUnit::setMIDIHandler(MIDIHandler handler) {
    auto shared = std::make_shared<const MIDIHandler>(std::move(handler));
    {
        std::lock_guard lock(midiMutex_);
        // Storage for a burst before the first: more comes from the schedulers' threads when needed.
        while (midiEvents_.size() < kPreparedMIDIEvents) {
            midiEvents_.push_back(std::make_unique<MIDIEvent>());
            MIDIEvent* event = midiEvents_.back().get();
            event->bytes.reserve(3);
            event->next = spare_;
            spare_ = event;
        }
    }
    std::lock_guard lock(mutex_);
    handlers_.push_back(shared);
    midiHandler_ = shared;
    renderHandler_.store(shared.get(), std::memory_order_release);
}

void AUAudioUnit::scheduleMIDI(AUEventSampleTime time, std::uint8_t cable, std::size_t length,
                               const std::uint8_t* bytes) {
    std::unique_lock lock(midiMutex_);
    if (waitingMIDI_.load(std::memory_order_relaxed) >= kMaxWaitingMIDIEvents) {
        if (droppingMIDI_) return;
        droppingMIDI_ = true;
        lock.unlock();
        LogSink::emit({"io.sonabel.platform", "audio", LogLevel::error,
                       "MIDI: " + std::to_string(kMaxWaitingMIDIEvents) +
                           " events wait for rendering; more are dropped until it takes them"});
        return;
    }
    droppingMIDI_ = false;
    if (!spare_) spare_ = recycled_.takeAll();
    MIDIEvent* event = spare_;
    if (event) {
        spare_ = event->next;
    } else {
        midiEvents_.push_back(std::make_unique<MIDIEvent>());
        event = midiEvents_.back().get();
    }
    event->time = time;
    event->cable = cable;
    event->bytes.assign(bytes, bytes + length);
    event->generation = midiGeneration_.load(std::memory_order_relaxed);
    event->span = renderSpan_.load(std::memory_order_relaxed);
    // Counted before it can be taken: the count never falls below what waits.
    waitingMIDI_.fetch_add(1, std::memory_order_relaxed);
    incoming_.push(event);
}

void AUAudioUnit::recycle(MIDIEvent* event) {
    recycled_.push(event);
}

void AUAudioUnit::schedule(ScheduledEvent event) {
    std::lock_guard lock(mutex_);
    parameters_.try_emplace(event.address); // rendering never adds an address
    pending_.push_back(event);
    // Rendering takes events over without growing its list.
    if (active_.capacity() < active_.size() + pending_.size())
        active_.reserve(2 * (active_.size() + pending_.size()));
    hasPending_.store(true, std::memory_order_release);
}

std::optional<AUValue> AUAudioUnit::renderParameterValue(AUParameterAddress address) const {
    std::lock_guard lock(mutex_);
    auto it = parameters_.find(address);
    if (it == parameters_.end()) return std::nullopt;
    return it->second.value;
}

void AUAudioUnit::setRenderParameterValue(AUParameterAddress address, AUValue value) {
    std::lock_guard lock(mutex_);
    auto& p = parameters_[address];
    p.value = value;
    p.ramping = false;
}

void AUAudioUnit::reset() {
    std::function<void()> handler;
    {
        std::lock_guard lock(mutex_);
        pending_.clear();
        active_.clear();
        hasPending_.store(false);
        hasActive_.store(false);
        forgetWaitingMIDI();
        for (auto& [address, p] : parameters_) {
            if (p.ramping) p.value = p.target;
            p.ramping = false;
        }
        handler = resetHandler_;
    }
    if (handler) handler();
}

void AUAudioUnit::forgetWaitingMIDI() {
    std::lock_guard lock(midiMutex_);
    // Taken back before the generation moves on: what waits was all scheduled before it, so none
    // scheduled after the reset is taken for a stale one. What rendering took already it drops by
    // its generation.
    std::uint32_t taken = 0;
    for (MIDIEvent* event = incoming_.takeAll(); event; ++taken) {
        MIDIEvent* next = event->next;
        event->next = spare_;
        spare_ = event;
        event = next;
    }
    waitingMIDI_.fetch_sub(taken, std::memory_order_relaxed);
    midiGeneration_.fetch_add(1, std::memory_order_relaxed);
}

void AUAudioUnit::setPropertyHandlers(AudioUnitPropertyID id, PropertyGetter getter, PropertySetter setter) {
    std::lock_guard lock(mutex_);
    properties_[id] = {std::move(getter), std::move(setter)};
}

OSStatus AUAudioUnit::getProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                                  void* data, std::uint32_t* size) {
    if (!size) return kAudio_ParamError;
    auto putUInt32 = [&](std::uint32_t value) -> OSStatus {
        if (!data) {
            *size = sizeof(value);
            return noErr;
        }
        if (*size < sizeof(value)) return kAudio_ParamError;
        std::memcpy(data, &value, sizeof(value));
        *size = sizeof(value);
        return noErr;
    };
    switch (id) {
    case kAudioUnitProperty_BypassEffect:
        if (scope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidScope;
        return putUInt32(shouldBypassEffect() ? 1 : 0);
    case kAudioUnitProperty_MaximumFramesPerSlice:
        if (scope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidScope;
        return putUInt32(maximumFramesToRender());
    case kAudioUnitProperty_ElementCount:
        if (scope == kAudioUnitScope_Input) return putUInt32(inputBusses_.count());
        if (scope == kAudioUnitScope_Output) return putUInt32(outputBusses_.count());
        if (scope == kAudioUnitScope_Global) return putUInt32(1);
        return kAudioUnitErr_InvalidScope;
    default:
        break;
    }
    PropertyGetter getter;
    {
        std::lock_guard lock(mutex_);
        auto it = properties_.find(id);
        if (it == properties_.end() || !it->second.first) return kAudioUnitErr_InvalidProperty;
        getter = it->second.first;
    }
    return getter(scope, element, data, size);
}

OSStatus AUAudioUnit::setProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                                  const void* data, std::uint32_t size) {
    auto getUInt32 = [&](std::uint32_t& out) {
        if (!data || size != sizeof(std::uint32_t)) return false;
        std::memcpy(&out, data, sizeof(out));
        return true;
    };
    std::uint32_t v = 0;
    switch (id) {
    case kAudioUnitProperty_BypassEffect:
        if (scope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidScope;
        if (!getUInt32(v)) return kAudioUnitErr_InvalidPropertyValue;
        setShouldBypassEffect(v != 0);
        return noErr;
    case kAudioUnitProperty_MaximumFramesPerSlice:
        if (scope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidScope;
        if (!getUInt32(v) || v == 0) return kAudioUnitErr_InvalidPropertyValue;
        setMaximumFramesToRender(v);
        return noErr;
    case kAudioUnitProperty_ElementCount:
        if (!getUInt32(v)) return kAudioUnitErr_InvalidPropertyValue;
        if (scope == kAudioUnitScope_Input)
            return inputBusses_.setBusCount(v) ? noErr : kAudioUnitErr_PropertyNotWritable;
        if (scope == kAudioUnitScope_Output)
            return outputBusses_.setBusCount(v) ? noErr : kAudioUnitErr_PropertyNotWritable;
        return kAudioUnitErr_InvalidScope;
    default:
        break;
    }
    PropertySetter setter;
    {
        std::lock_guard lock(mutex_);
        auto it = properties_.find(id);
        if (it == properties_.end()) return kAudioUnitErr_InvalidProperty;
        if (!it->second.second) return kAudioUnitErr_PropertyNotWritable;
        setter = it->second.second;
    }
    return setter(scope, element, data, size);
}

std::uint32_t AUAudioUnit::beginRender(std::int64_t sampleTime) {
    // The events are taken before the generation and the span are read: each was given the values it
    // read before it was pushed, so none can be newer than those read here, and no event scheduled
    // after a reset or a mark passes for one scheduled before it.
    MIDIEvent* ordered = incoming_.mayHaveItems() ? incoming_.takeAll() : nullptr;
    const std::uint64_t generation = midiGeneration_.load(std::memory_order_relaxed);
    const std::uint64_t span = renderSpan_.load(std::memory_order_relaxed);
    if (generation != renderGeneration_) {
        // Reset since the last cycle: what waited is forgotten.
        while (dueHead_) {
            MIDIEvent* event = dueHead_;
            dueHead_ = event->next;
            recycle(event);
        }
        dueTail_ = nullptr;
        renderGeneration_ = generation;
    }
    // Played now, a backlog of notes would sound as one loud chord. A cycle still under way when the
    // end was marked (the span odd) plays what it takes.
    const bool live = !(span & 1);
    const auto backlog = [&](const MIDIEvent& event) {
        return live && event.span != span && isNoteOn(event.bytes) &&
               (isImmediate(event.time) || event.time < sampleTime);
    };
    std::uint32_t late = 0;
    if (live && span != renderedSpan_) {
        // Rendering resumes: what it held when it ended and whose time went by since is a backlog.
        for (MIDIEvent** at = &dueHead_; *at;) {
            MIDIEvent* event = *at;
            if (event->time >= sampleTime || !isNoteOn(event->bytes)) {
                dueTail_ = event;
                at = &event->next;
                continue;
            }
            *at = event->next;
            ++late;
            recycle(event);
        }
        if (!dueHead_) dueTail_ = nullptr;
        renderedSpan_ = span;
    }
    std::uint32_t taken = 0;
    while (ordered) {
        MIDIEvent* event = ordered;
        ordered = event->next;
        event->next = nullptr;
        ++taken;
        if (event->generation != generation) {
            recycle(event);
            continue;
        }
        if (backlog(*event)) {
            ++late;
            recycle(event);
            continue;
        }
        event->time = resolve(event->time, sampleTime);
        // After those of the same time.
        if (!dueTail_ || dueTail_->time <= event->time) {
            (dueTail_ ? dueTail_->next : dueHead_) = event;
            dueTail_ = event;
            continue;
        }
        MIDIEvent** at = &dueHead_;
        while ((*at)->time <= event->time)
            at = &(*at)->next;
        event->next = *at;
        *at = event;
    }
    if (taken) waitingMIDI_.fetch_sub(taken, std::memory_order_relaxed);
    if (late) lateNotes_.fetch_add(late, std::memory_order_relaxed);
    if (!hasPending_.load(std::memory_order_acquire)) return late;
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return late;
    for (auto& e : pending_) {
        e.time = resolve(e.time, sampleTime);
        // After those of the same time: events keep the order they were scheduled in.
        auto at = std::upper_bound(active_.begin(), active_.end(), e.time,
                                   [](AUEventSampleTime t, const ScheduledEvent& a) { return t < a.time; });
        active_.insert(at, e); // within the capacity schedule() made
    }
    pending_.clear();
    hasPending_.store(false, std::memory_order_relaxed);
    hasActive_.store(!active_.empty(), std::memory_order_relaxed);
    return late;
}

void AUAudioUnit::applyEventsDue(std::int64_t sampleTime) {
    if (hasActive_.load(std::memory_order_relaxed)) {
        std::unique_lock lock(mutex_, std::try_to_lock);
        if (lock.owns_lock()) {
            auto end = active_.begin();
            while (end != active_.end() && end->time <= sampleTime) {
                if (auto p = parameters_.find(end->address); p != parameters_.end()) {
                    auto& parameter = p->second;
                    if (end->duration == 0) {
                        parameter.value = end->value;
                        parameter.ramping = false;
                    } else {
                        parameter.start = parameter.value;
                        parameter.target = end->value;
                        parameter.duration = end->duration;
                        parameter.elapsed = 0;
                        parameter.ramping = true;
                    }
                }
                ++end;
            }
            active_.erase(active_.begin(), end);
            hasActive_.store(!active_.empty(), std::memory_order_relaxed);
        }
    }
    if (!dueHead_ || dueHead_->time > sampleTime) return;
    const MIDIHandler* handler = renderHandler_.load(std::memory_order_acquire);
    while (dueHead_ && dueHead_->time <= sampleTime) {
        MIDIEvent* event = dueHead_;
        dueHead_ = event->next;
        if (!dueHead_) dueTail_ = nullptr;
        if (handler && *handler) (*handler)(event->time, event->cable, event->bytes);
        recycle(event);
    }
}

std::uint32_t AUAudioUnit::framesUntilNextChange(std::int64_t sampleTime, std::uint32_t limit) const {
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return 1;
    for (const auto& [address, p] : parameters_)
        if (p.ramping) return 1;
    std::int64_t next = std::numeric_limits<std::int64_t>::max();
    if (!active_.empty()) next = active_.front().time;
    if (dueHead_) next = std::min<std::int64_t>(next, dueHead_->time);
    if (next == std::numeric_limits<std::int64_t>::max()) return limit;
    const std::int64_t until = next - sampleTime;
    if (until <= 0) return 1;
    return until < std::int64_t(limit) ? std::uint32_t(until) : limit;
}

void AUAudioUnit::advanceRamps(std::uint32_t frames) {
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) {
        unappliedRampFrames_ += frames;
        return;
    }
    frames += unappliedRampFrames_;
    unappliedRampFrames_ = 0;
    for (auto& [address, p] : parameters_) {
        if (!p.ramping) continue;
        p.elapsed += frames;
        if (p.elapsed >= p.duration) {
            p.value = p.target;
            p.ramping = false;
        } else {
            p.value = p.start + (p.target - p.start) * (float(p.elapsed) / float(p.duration));
        }
    }
}

AUValue AUAudioUnit::currentValue(AUParameterAddress address, AUValue fallback) const {
    const auto end = lastValues_.begin() + std::ptrdiff_t(lastValueCount_);
    auto last =
        std::find_if(lastValues_.begin(), end, [&](const auto& entry) { return entry.first == address; });
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return last != end ? last->second : fallback;
    auto it = parameters_.find(address);
    if (it == parameters_.end()) return fallback;
    if (last != end)
        last->second = it->second.value;
    else if (lastValueCount_ < lastValues_.size())
        lastValues_[lastValueCount_++] = {address, it->second.value};
    return it->second.value;
}

} // namespace platform
