#include "platform/audio/AUParameter.h"

#include "platform/audio/AUAudioUnit.h"
#include "platform/core/ValueText.h"

namespace platform {

void AUParameter::setValue(AUValue value) {
    setValue(value, nullptr, 0, AUParameterAutomationEventType::value);
}

void AUParameter::setValue(AUValue value, const void*, std::uint64_t hostTime,
                           AUParameterAutomationEventType eventType) {
    // Gestures carry a value too: a touch or release at a new value leaves the parameter there.
    value_.store(value, std::memory_order_release);
    if (auto owner = owner_.lock()) owner->setRenderParameterValue(address_, value);
    std::vector<ValueObserver> observers;
    {
        std::lock_guard lock(observerMutex_);
        for (auto& [token, observer] : valueObservers_)
            observers.push_back(observer);
    }
    if (eventType == AUParameterAutomationEventType::value)
        for (auto& observer : observers)
            observer(address_, value);
    const AUParameterAutomationEvent event{hostTime, address_, value, eventType, 0};
    notifyAutomationObservers(std::span(&event, 1));
}

AUParameterObserverToken AUParameter::tokenByAddingParameterObserver(ValueObserver observer) {
    std::lock_guard lock(observerMutex_);
    const auto token = nextToken_++;
    valueObservers_.emplace(token, std::move(observer));
    return token;
}

AUParameterObserverToken AUParameter::tokenByAddingParameterAutomationObserver(AutomationObserver observer) {
    std::lock_guard lock(observerMutex_);
    const auto token = nextToken_++;
    automationObservers_.emplace(token, std::move(observer));
    return token;
}

void AUParameter::removeParameterObserver(AUParameterObserverToken token) {
    std::lock_guard lock(observerMutex_);
    valueObservers_.erase(token);
    automationObservers_.erase(token);
}

void AUParameter::notifyAutomationObservers(std::span<const AUParameterAutomationEvent> events) {
    std::vector<AutomationObserver> observers;
    {
        std::lock_guard lock(observerMutex_);
        for (auto& [token, observer] : automationObservers_)
            observers.push_back(observer);
    }
    for (auto& observer : observers)
        observer(events);
}

std::string AUParameter::description() const {
    return "<AUParameter " + identifier_ + " \"" + displayName_ + "\" @" + describe(address_) + " " +
           describe(minValue_) + "..." + describe(maxValue_) + " = " + describe(value()) + ">";
}

} // namespace platform
