#pragma once
#include "platform/audio/AudioMixerNode.h"
#include "sonabel/nodes/NamedNode.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sonabel {

// The framework's summing node: inputs, an output volume and a pan over one platform mixer.
class Mixer : public NamedNode {
public:
    // Without a name the mixer is named by its address.
    explicit Mixer(float volume = 1.0f, std::optional<std::string> name = std::nullopt);
    explicit Mixer(std::vector<std::shared_ptr<Node>> inputs, std::optional<std::string> name = std::nullopt);

    const std::shared_ptr<platform::AudioMixerNode> mixerAU;

    std::vector<std::shared_ptr<Node>> connections() const override { return inputs_; }
    std::shared_ptr<platform::AudioNode> avAudioNode() const override { return avAudioNode_; }
    virtual void setAvAudioNode(std::shared_ptr<platform::AudioNode> node) { avAudioNode_ = std::move(node); }
    virtual const std::vector<std::shared_ptr<Node>>& inputs() const { return inputs_; }

    std::string name() const override { return name_; }
    void setName(std::string name) override { name_ = std::move(name); }
    virtual float volume() const { return volume_; }
    // Negative volumes are stored as 0; NaN is ignored.
    virtual void setVolume(float volume);
    virtual float pan() const { return pan_; }
    // Clamped to -1...1; NaN is ignored.
    virtual void setPan(float pan);
    // True while the volume is not 0.
    bool isStarted() const override { return volume_ != 0; }

    virtual void addInput(const std::shared_ptr<Node>& node);
    virtual bool hasInput(const std::shared_ptr<Node>& node) const;
    virtual void removeInput(const std::shared_ptr<Node>& node);
    virtual void removeAllInputs();
    virtual int resizeInputBusses(int requiredSize);

private:
    bool feedsThisMixer(const Node& node, std::vector<const Node*>& path) const;

    std::vector<std::shared_ptr<Node>> inputs_;
    std::shared_ptr<platform::AudioNode> avAudioNode_;
    std::string name_ = "(unset)";
    float volume_ = 1.0f;
    float pan_ = 0.0f;
};

} // namespace sonabel
