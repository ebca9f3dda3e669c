#pragma once
// What the framework adds to the platform engine and its nodes.
#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioNode.h"

#include <memory>
#include <optional>

namespace sonabel {

// Gives a running engine's mixer that has no connected input a placeholder input; returns it.
std::shared_ptr<platform::AudioNode> initializeMixer(platform::AudioEngine& engine,
                                                     const std::shared_ptr<platform::AudioNode>& node);

// Stops source feeding destination on any bus, keeping the source's other destinations
// (reconnected in Settings::audioFormat()).
void removeInputConnection(const std::shared_ptr<platform::AudioNode>& destination,
                           const std::shared_ptr<platform::AudioNode>& source);

// Adds source -> destination on the destination's next available bus, unless already there.
void addInputConnection(const std::shared_ptr<platform::AudioNode>& destination,
                        const std::shared_ptr<platform::AudioNode>& source,
                        std::optional<platform::AudioFormat> format);

} // namespace sonabel
