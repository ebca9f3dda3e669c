#include "sonabel/nodes/mixing/Mixer.h"

#include "platform/audio/AudioEngine.h"
#include "sonabel/internals/engine/EngineExtensions.h"
#include "sonabel/internals/error_handling/Log.h"
#include "sonabel/internals/utilities/PointerString.h"

#include <algorithm>
#include <cmath>

namespace sonabel {

Mixer::Mixer(float volume, std::optional<std::string> name)
    : mixerAU(platform::AudioMixerNode::make()), avAudioNode_(mixerAU) {
    // The initial volume follows the setter's rule and reaches the platform mixer.
    setVolume(volume);
    name_ = name ? *name : pointerString(this);
}

Mixer::Mixer(std::vector<std::shared_ptr<Node>> inputs, std::optional<std::string> name)
    : Mixer(1.0f, std::move(name)) {
    std::erase(inputs, nullptr);
    inputs_ = std::move(inputs);
}

void Mixer::setVolume(float volume) {
    if (std::isnan(volume)) return;
    volume_ = volume > 0 ? volume : 0.0f;
    mixerAU->setOutputVolume(volume_);
}

void Mixer::setPan(float pan) {
    if (std::isnan(pan)) return;
    pan_ = std::clamp(pan, -1.0f, 1.0f);
    mixerAU->setPan(pan_);
}

bool Mixer::feedsThisMixer(const Node& node, std::vector<const Node*>& path) const {
    if (&node == this) return true;
    if (std::find(path.begin(), path.end(), &node) != path.end()) return false;
    path.push_back(&node);
    for (const auto& c : node.connections())
        if (c && feedsThisMixer(*c, path)) return true;
    path.pop_back();
    return false;
}

void Mixer::addInput(const std::shared_ptr<Node>& node) {
    if (!node) return;
    if (hasInput(node)) {
        Log({"addInput(_:)"}, "🛑 Error: Node is already connected to Mixer.");
        return;
    }
    std::vector<const Node*> path;
    if (feedsThisMixer(*node, path)) {
        Log({"addInput(_:)"}, "🛑 Error: Node is fed by this Mixer; adding it would make a cycle.");
        return;
    }
    auto engine = mixerAU->engine();
    auto placeholder = engine ? initializeMixer(*engine, mixerAU) : nullptr;
    inputs_.push_back(node);
    if (placeholder) engine->detach(placeholder);
    makeAVConnections();
}

bool Mixer::hasInput(const std::shared_ptr<Node>& node) const {
    return std::find(inputs_.begin(), inputs_.end(), node) != inputs_.end();
}

void Mixer::removeInput(const std::shared_ptr<Node>& node) {
    if (!node) return;
    std::erase(inputs_, node);
    removeInputConnection(avAudioNode_, node->avAudioNode());
}

void Mixer::removeAllInputs() {
    if (inputs_.empty()) return;
    std::vector<std::shared_ptr<platform::AudioNode>> nodes;
    for (const auto& input : inputs_)
        nodes.push_back(input->avAudioNode());
    for (const auto& n : nodes)
        removeInputConnection(avAudioNode_, n);
    inputs_.clear();
}

int Mixer::resizeInputBusses(int requiredSize) {
    const std::uint32_t required = requiredSize > 0 ? std::uint32_t(requiredSize) : 0;
    auto& busses = mixerAU->auAudioUnit()->inputBusses();
    const std::uint32_t count = busses.count();
    if (busses.isCountChangeable()) {
        if (count < required && !busses.setBusCount(required)) return int(busses.count());
        return int(required);
    }
    return int(std::min(count, required));
}

} // namespace sonabel
