#pragma once
#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioOutputNode.h"
#include "platform/audio/AudioSourceNode.h"
#include "platform/audio/AudioUnitEffect.h"
#include "platform/core/LogSink.h"
#include "sonabel/nodes/Node.h"

#include <gtest/gtest.h>

#include <string>

namespace nodetest {

inline platform::AudioFormat stereo() {
    return *platform::AudioFormat::standard(44100, 2);
}

// A plain node over a pass-through effect, fed by the given connections.
class Delay : public sonabel::Node {
public:
    std::shared_ptr<platform::AudioUnitEffect> unit =
        platform::AudioUnitEffect::make({platform::kAudioUnitType_Effect, 0x64656C79, 0, 0, 0});
    std::vector<std::shared_ptr<sonabel::Node>> inputs;
    std::vector<std::shared_ptr<sonabel::Node>> connections() const override { return inputs; }
    std::shared_ptr<platform::AudioNode> avAudioNode() const override { return unit; }
};

// A generator node with a constant output that counts its render cycles.
class Constant : public sonabel::Node {
public:
    explicit Constant(float value) {
        node = platform::AudioSourceNode::make([this, value](bool&, const platform::AudioTime&,
                                                             std::uint32_t frames, float* const* out,
                                                             std::uint32_t channels) {
            ++renders;
            for (std::uint32_t c = 0; c < channels; ++c)
                std::fill(out[c], out[c] + frames, value);
            return noErr;
        });
    }
    int renders = 0;
    std::shared_ptr<platform::AudioSourceNode> node;
    std::vector<std::shared_ptr<sonabel::Node>> connections() const override { return {}; }
    std::shared_ptr<platform::AudioNode> avAudioNode() const override { return node; }
};

// An engine in offline manual rendering with its output node ready.
struct OfflineEngine {
    std::shared_ptr<platform::AudioEngine> engine = platform::AudioEngine::make();
    std::shared_ptr<platform::PCMBuffer> buffer;
    explicit OfflineEngine(std::uint32_t maxFrames = 512) {
        engine->enableManualRenderingMode(platform::AudioEngine::ManualRenderingMode::offline, stereo(),
                                          maxFrames);
        buffer = platform::PCMBuffer::make(stereo(), maxFrames);
    }
    void output(const std::shared_ptr<platform::AudioNode>& node) {
        engine->attach(node);
        engine->connect(node, engine->outputNode(), 0, 0, stereo());
    }
    void render(std::uint32_t frames) {
        if (!engine->isRunning()) engine->start();
        ASSERT_EQ(engine->renderOffline(frames, *buffer),
                  platform::AudioEngine::ManualRenderingStatus::success);
    }
    float at(std::uint32_t c, std::uint32_t i) const { return buffer->floatChannelData()[c][i]; }
};

// The full line Log writes from `file` in `function`, whatever line it was written on.
inline ::testing::AssertionResult isLogLine(const std::string& line, const std::string& file,
                                            const std::string& function, const std::string& content) {
    const std::string prefix = file + ":" + function + ":";
    if (line.rfind(prefix, 0) != 0) return ::testing::AssertionFailure() << "unexpected line " << line;
    const auto colon = line.find(':', prefix.size());
    const std::string number = line.substr(prefix.size(), colon - prefix.size());
    const std::string where = prefix + number;
    const std::string expected = where + ":" + content + " (" + where + ")";
    if (line == expected) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << line << "\n  expected " << expected;
}

} // namespace nodetest
