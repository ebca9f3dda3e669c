#pragma once
#include "platform/audio/AudioSourceNode.h"
#include "platform/audio/devices/FakeAudioDeviceBackend.h"
#include "platform/core/LogSink.h"
#include "sonabel/internals/settings/Settings.h"
#include "sonabel/nodes/Node.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace enginetest {

// A generator whose sample i of a cycle is value(sampleTime + i); it records each cycle's frame count.
class Tone : public sonabel::Node {
public:
    explicit Tone(std::function<float(std::int64_t)> value = [](std::int64_t t) {
        return float(t) / 100000.0f;
    }) {
        node = platform::AudioSourceNode::make([this, value](bool&, const platform::AudioTime& time,
                                                             std::uint32_t frames, float* const* out,
                                                             std::uint32_t channels) {
            blocks.push_back(frames);
            for (std::uint32_t c = 0; c < channels; ++c)
                for (std::uint32_t i = 0; i < frames; ++i)
                    out[c][i] = value(time.sampleTime() + i);
            return noErr;
        });
    }
    std::vector<std::uint32_t> blocks;
    std::shared_ptr<platform::AudioSourceNode> node;
    std::vector<std::shared_ptr<sonabel::Node>> connections() const override { return {}; }
    std::shared_ptr<platform::AudioNode> avAudioNode() const override { return node; }
};

// Every test gets a fresh fake device backend and the default settings back afterwards.
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = platform::AudioDeviceBackend::setCurrent(devices);
        sonabel::Settings::setAudioFormat(sonabel::Settings::defaultAudioFormat());
    }
    void TearDown() override {
        platform::AudioDeviceBackend::setCurrent(previous_);
        sonabel::Settings::setAudioFormat(sonabel::Settings::defaultAudioFormat());
    }
    std::shared_ptr<platform::FakeAudioDeviceBackend> devices =
        std::make_shared<platform::FakeAudioDeviceBackend>();

private:
    std::shared_ptr<platform::AudioDeviceBackend> previous_;
};

// The full line Log writes from `file` in `function`, whatever line it was written on.
inline ::testing::AssertionResult isLogLine(const std::string& line, const std::string& file,
                                            const std::string& function, const std::string& content) {
    const std::string prefix = file + ":" + function + ":";
    if (line.rfind(prefix, 0) != 0) return ::testing::AssertionFailure() << "unexpected line " << line;
    const auto colon = line.find(':', prefix.size());
    const std::string where = prefix + line.substr(prefix.size(), colon - prefix.size());
    const std::string expected = where + ":" + content + " (" + where + ")";
    if (line == expected) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << line << "\n  expected " << expected;
}

} // namespace enginetest
