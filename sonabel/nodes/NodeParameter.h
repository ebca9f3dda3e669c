#pragma once
#include "platform/audio/AUParameter.h"
#include "platform/audio/AudioNode.h"
#include "sonabel/nodes/NodeParameterDef.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace sonabel {

// The live binding of a parameter definition to a platform parameter of a node's audio unit.
// Until it is bound it reads its definition's default and range, and its setters do nothing.
class NodeParameter {
public:
    using AutomationCallback = std::function<void(const platform::AUParameterAutomationEvent&)>;

    explicit NodeParameter(NodeParameterDef def);
    virtual ~NodeParameter();

    virtual std::shared_ptr<platform::AudioNode> avAudioNode() const { return avAudioNode_; }
    virtual void setAvAudioNode(std::shared_ptr<platform::AudioNode> node) { avAudioNode_ = std::move(node); }
    virtual std::shared_ptr<platform::AUParameter> parameter() const { return parameter_; }
    virtual void setParameter(std::shared_ptr<platform::AUParameter> parameter) {
        parameter_ = std::move(parameter);
    }
    virtual const NodeParameterDef& def() const { return def_; }
    virtual void setDef(NodeParameterDef def) { def_ = std::move(def); }

    virtual platform::AUValue value() const;
    // Clamps to the range and writes the audio unit, then the parameter object. NaN is ignored.
    virtual void setValue(platform::AUValue value);
    virtual bool boolValue() const { return value() > 0.5f; }
    virtual void setBoolValue(bool value) { setValue(value ? 1.0f : 0.0f); }
    virtual platform::AUValue minValue() const;
    virtual platform::AUValue maxValue() const;
    virtual NodeParameterDef::Range range() const { return {minValue(), maxValue()}; }

    virtual std::optional<std::int64_t> renderObserverToken() const { return renderObserverToken_; }
    virtual void setRenderObserverToken(std::optional<std::int64_t> token) { renderObserverToken_ = token; }
    virtual std::optional<platform::AUParameterObserverToken> parameterObserverToken() const {
        return parameterObserverToken_;
    }
    virtual void setParameterObserverToken(std::optional<platform::AUParameterObserverToken> token) {
        parameterObserverToken_ = token;
    }

    // Moves the audio unit to the target over `duration` seconds after `delay` seconds (at most
    // 4096 frames); the parameter's own value stays.
    virtual void ramp(platform::AUValue to, float duration, float delay = 0);
    // The callback runs on the main queue, once per event, in arrival order.
    virtual void recordAutomation(AutomationCallback callback);
    virtual void stopAutomationRecording();
    virtual void associate(std::shared_ptr<platform::AudioNode> node);
    virtual void associate(std::shared_ptr<platform::AudioNode> node,
                           std::shared_ptr<platform::AUParameter> parameter);
    virtual void beginTouch(std::optional<platform::AUValue> value = std::nullopt);
    virtual void endTouch(std::optional<platform::AUValue> value = std::nullopt);

private:
    std::shared_ptr<platform::AudioNode> avAudioNode_;
    std::shared_ptr<platform::AUParameter> parameter_;
    NodeParameterDef def_;
    std::optional<std::int64_t> renderObserverToken_;
    std::optional<platform::AUParameterObserverToken> parameterObserverToken_;
};

} // namespace sonabel
