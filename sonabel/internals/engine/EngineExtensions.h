#pragma once
// What the framework adds to the platform engine and its nodes.
#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioFile.h"
#include "platform/audio/AudioNode.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace sonabel {

// Gives a running engine's mixer that has no connected input a placeholder input; returns it.
std::shared_ptr<platform::AudioNode> initializeMixer(platform::AudioEngine& engine,
                                                     const std::shared_ptr<platform::AudioNode>& node);

// Renders the engine's output offline into the file (its processing format becomes the rendering
// format) for `duration` seconds, or on until three blocks in a row after the duration are quieter
// than silenceThreshold. prerender runs once before the first block, progress after every block
// written. Raises platform::AudioError (domain "AVAudioEngine ext", code 1, or the platform's own);
// whatever happens the engine ends stopped and out of manual rendering mode.
void render(platform::AudioEngine& engine, platform::AudioFile& file, std::uint32_t maximumFrameCount,
            double duration, bool renderUntilSilent, float silenceThreshold,
            const std::function<void()>& prerender, const std::function<void(double)>& progress);

// Stops source feeding destination on any bus, keeping the source's other destinations
// (reconnected in Settings::audioFormat()).
void removeInputConnection(const std::shared_ptr<platform::AudioNode>& destination,
                           const std::shared_ptr<platform::AudioNode>& source);

// Adds source -> destination on the destination's next available bus, unless already there.
void addInputConnection(const std::shared_ptr<platform::AudioNode>& destination,
                        const std::shared_ptr<platform::AudioNode>& source,
                        std::optional<platform::AudioFormat> format);

} // namespace sonabel
