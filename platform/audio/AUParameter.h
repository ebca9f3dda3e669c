#pragma once
#include "platform/audio/AUParameterAutomationEvent.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace platform {

class AUAudioUnit;

using AUParameterAddress = std::uint64_t;
using AUValue = float;
using AudioUnitParameterUnit = std::uint32_t;
using AudioUnitParameterOptions = std::uint32_t;
using AUParameterObserverToken = std::uint64_t;

inline constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_CanRamp = 0x02000000;
inline constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_IsReadable = 0x40000000;
inline constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_IsWritable = 0x80000000;

// One parameter of an audio unit. Setting its value reaches the unit that owns it; observers
// hear of every change on the thread that made it.
class AUParameter {
public:
    using ValueObserver = std::function<void(AUParameterAddress, AUValue)>;
    using AutomationObserver = std::function<void(std::span<const AUParameterAutomationEvent>)>;

    const std::string& identifier() const { return identifier_; }
    const std::string& displayName() const { return displayName_; }
    AUParameterAddress address() const { return address_; }
    AUValue minValue() const { return minValue_; }
    AUValue maxValue() const { return maxValue_; }
    AudioUnitParameterUnit unit() const { return unit_; }
    const std::optional<std::string>& unitName() const { return unitName_; }
    AudioUnitParameterOptions flags() const { return flags_; }
    const std::vector<std::string>& valueStrings() const { return valueStrings_; }

    AUValue value() const { return value_.load(std::memory_order_acquire); }
    // Stores the value as given (a unit clamps what it renders, not what it stores).
    void setValue(AUValue value);
    void setValue(AUValue value, const void* originator, std::uint64_t hostTime,
                  AUParameterAutomationEventType eventType = AUParameterAutomationEventType::value);

    AUParameterObserverToken tokenByAddingParameterObserver(ValueObserver observer);
    AUParameterObserverToken tokenByAddingParameterAutomationObserver(AutomationObserver observer);
    void removeParameterObserver(AUParameterObserverToken token);
    // Hands one batch of events to every automation observer, in order.
    void notifyAutomationObservers(std::span<const AUParameterAutomationEvent> events);

    std::string description() const;

private:
    friend class AUParameterTree;
    friend class AUAudioUnit;
    AUParameter() = default;

    std::string identifier_;
    std::string displayName_;
    AUParameterAddress address_ = 0;
    AUValue minValue_ = 0;
    AUValue maxValue_ = 1;
    AudioUnitParameterUnit unit_ = 0;
    std::optional<std::string> unitName_;
    AudioUnitParameterOptions flags_ = 0;
    std::vector<std::string> valueStrings_;
    std::atomic<AUValue> value_{0};

    mutable std::mutex observerMutex_;
    AUParameterObserverToken nextToken_ = 1;
    std::map<AUParameterObserverToken, ValueObserver> valueObservers_;
    std::map<AUParameterObserverToken, AutomationObserver> automationObservers_;
    std::weak_ptr<AUAudioUnit> owner_;
};

} // namespace platform
