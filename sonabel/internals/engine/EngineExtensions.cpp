#include "sonabel/internals/engine/EngineExtensions.h"

#include "platform/audio/AudioMixerNode.h"
#include "sonabel/internals/engine/EngineResetNode.h"
#include "sonabel/internals/error_handling/Log.h"
#include "sonabel/internals/settings/Settings.h"

#include <algorithm>
#include <map>

namespace sonabel {

std::shared_ptr<platform::AudioNode> initializeMixer(platform::AudioEngine& engine,
                                                     const std::shared_ptr<platform::AudioNode>& node) {
    if (!engine.isRunning()) return nullptr;
    if (!std::dynamic_pointer_cast<platform::AudioMixerNode>(node)) return nullptr;
    for (std::uint32_t bus = 0; bus < node->numberOfInputs(); ++bus)
        if (engine.inputConnectionPoint(node, bus)) return nullptr;
    auto dummy = EngineResetNode::make();
    engine.attach(dummy);
    const auto format = Settings::audioFormat();
    engine.connect(dummy, node, format);
    Log({"initializeMixer(_:)"}, "⚠️🎚 Added dummy to mixer (" + node->description() + " with format",
        format);
    return dummy;
}

void removeInputConnection(const std::shared_ptr<platform::AudioNode>& destination,
                           const std::shared_ptr<platform::AudioNode>& source) {
    if (!destination || !source) return;
    auto engine = destination->engine();
    if (!engine) return;
    std::map<std::shared_ptr<platform::AudioNode>, std::vector<platform::AudioConnectionPoint>> remaining;
    for (std::uint32_t bus = 0; bus < destination->numberOfInputs(); ++bus) {
        auto point = engine->inputConnectionPoint(destination, bus);
        if (!point || point->node != source) continue;
        auto points = engine->outputConnectionPoints(source, 0);
        std::erase_if(points, [&](const auto& p) { return p.node == destination; });
        remaining[source] = std::move(points);
    }
    for (auto& [node, points] : remaining) {
        if (points.empty())
            engine->disconnectNodeOutput(node);
        else
            engine->connect(node, points, 0, Settings::audioFormat());
    }
}

void addInputConnection(const std::shared_ptr<platform::AudioNode>& destination,
                        const std::shared_ptr<platform::AudioNode>& source,
                        std::optional<platform::AudioFormat> format) {
    if (!destination || !source) return;
    auto engine = destination->engine();
    if (!engine) return;
    auto points = engine->outputConnectionPoints(source, 0);
    if (std::any_of(points.begin(), points.end(), [&](const auto& p) { return p.node == destination; }))
        return;
    std::uint32_t bus = 0;
    if (auto mixer = std::dynamic_pointer_cast<platform::AudioMixerNode>(destination))
        bus = mixer->nextAvailableInputBus();
    points.push_back({destination, bus});
    engine->connect(source, points, 0, format);
}

} // namespace sonabel
