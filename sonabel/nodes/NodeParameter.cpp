#include "sonabel/nodes/NodeParameter.h"

#include "platform/audio/AudioUnitNode.h"
#include "platform/core/MainQueue.h"
#include "sonabel/internals/error_handling/Log.h"
#include "sonabel/internals/settings/Settings.h"
#include "sonabel/internals/utilities/FatalError.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace sonabel {

namespace {

platform::AUValue clampTo(platform::AUValue x, platform::AUValue lo, platform::AUValue hi) {
    return std::min(std::max(x, lo), hi);
}

// Seconds to a frame count at the process rate, in single precision as the unit's clock runs;
// what is negative or not a number is 0, what is too large is the largest count.
std::uint32_t framesFor(float seconds) {
    const float frames = float(Settings::audioFormat().sampleRate()) * seconds;
    if (!(frames > 0)) return 0;
    if (frames >= 4294967296.0f) return std::numeric_limits<std::uint32_t>::max();
    return static_cast<std::uint32_t>(frames);
}

} // namespace

NodeParameter::NodeParameter(NodeParameterDef def) : def_(std::move(def)) {}

NodeParameter::~NodeParameter() {
    if (parameter_ && parameterObserverToken_) parameter_->removeParameterObserver(*parameterObserverToken_);
}

platform::AUValue NodeParameter::value() const {
    return parameter_ ? parameter_->value() : def_.defaultValue;
}

platform::AUValue NodeParameter::minValue() const {
    return parameter_ ? parameter_->minValue() : def_.range.lowerBound;
}

platform::AUValue NodeParameter::maxValue() const {
    return parameter_ ? parameter_->maxValue() : def_.range.upperBound;
}

void NodeParameter::setValue(platform::AUValue x) {
    if (std::isnan(x) || !parameter_) return;
    const platform::AUValue clamped = clampTo(x, parameter_->minValue(), parameter_->maxValue());
    if (auto unitNode = std::dynamic_pointer_cast<platform::AudioUnitNode>(avAudioNode_)) {
        if (def_.address > std::numeric_limits<std::uint32_t>::max()) {
            Log({"value", OSLogType::error}, "Parameter address", def_.address,
                "does not fit in 32 bits; not written to the audio unit");
        } else {
            platform::AudioUnitSetParameter(unitNode->audioUnit(), static_cast<std::uint32_t>(def_.address),
                                            platform::kAudioUnitScope_Global, 0, clamped, 0);
        }
    }
    parameter_->setValue(clamped);
}

void NodeParameter::ramp(platform::AUValue to, float duration, float delay) {
    if (std::isnan(to) || !parameter_ || !avAudioNode_) return;
    std::uint32_t delaySamples = framesFor(delay);
    if (delaySamples > 4096) {
        Log({"ramp(to:duration:delay:)"}, "Warning: delay longer than 4096, setting to to 4096");
        delaySamples = 4096;
    }
    if (!(parameter_->flags() & platform::kAudioUnitParameterFlag_CanRamp)) {
        Log({"ramp(to:duration:delay:)", OSLogType::error},
            "Error: can't ramp parameter " + parameter_->displayName());
        return;
    }
    const std::uint32_t durationSamples = framesFor(duration);
    const platform::AUValue target = clampTo(to, parameter_->minValue(), parameter_->maxValue());
    avAudioNode_->auAudioUnit()->scheduleParameterBlock()(platform::AUEventSampleTimeImmediate + delaySamples,
                                                          durationSamples, parameter_->address(), target);
}

void NodeParameter::recordAutomation(AutomationCallback callback) {
    if (!parameter_ || !callback) return;
    // A second recording replaces the first rather than leaving its observer behind.
    stopAutomationRecording();
    parameterObserverToken_ = parameter_->tokenByAddingParameterAutomationObserver(
        [callback = std::move(callback)](std::span<const platform::AUParameterAutomationEvent> events) {
            for (const auto& event : events)
                platform::MainQueue::shared().async([callback, event] { callback(event); });
        });
}

void NodeParameter::stopAutomationRecording() {
    if (parameterObserverToken_ && parameter_) parameter_->removeParameterObserver(*parameterObserverToken_);
    parameterObserverToken_.reset();
}

void NodeParameter::associate(std::shared_ptr<platform::AudioNode> node) {
    if (!node) {
        Log({"associate(with:)", OSLogType::error}, "Error: no node to associate", def_.identifier, "with");
        return;
    }
    auto tree = node->auAudioUnit()->parameterTree();
    if (!tree) fatalError("No parameter tree.");
    avAudioNode_ = std::move(node);
    parameter_ = tree->parameterWithAddress(def_.address);
}

void NodeParameter::associate(std::shared_ptr<platform::AudioNode> node,
                              std::shared_ptr<platform::AUParameter> parameter) {
    avAudioNode_ = std::move(node);
    parameter_ = std::move(parameter);
}

void NodeParameter::beginTouch(std::optional<platform::AUValue> value) {
    if (!parameter_) return;
    parameter_->setValue(value.value_or(parameter_->value()), nullptr, 0,
                         platform::AUParameterAutomationEventType::touch);
}

void NodeParameter::endTouch(std::optional<platform::AUValue> value) {
    if (!parameter_) return;
    parameter_->setValue(value.value_or(parameter_->value()), nullptr, 0,
                         platform::AUParameterAutomationEventType::release);
}

} // namespace sonabel
