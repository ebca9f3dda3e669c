#pragma once
#include "platform/audio/AudioFile.h"
#include "platform/audio/AudioSourceNode.h"
#include "platform/audio/devices/FakeAudioDeviceBackend.h"
#include "platform/core/HostClock.h"
#include "platform/core/LogSink.h"
#include "platform/core/MainQueue.h"
#include "sonabel/internals/engine/AudioEngine.h"
#include "sonabel/internals/settings/Settings.h"
#include "sonabel/nodes/Node.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace taptest {

// A generator whose sample at frame t of channel c is value(c, t).
class Source : public sonabel::Node {
public:
    using Value = std::function<float(std::uint32_t channel, std::int64_t frame)>;
    explicit Source(Value value) {
        node = platform::AudioSourceNode::make([value](bool&, const platform::AudioTime& time,
                                                       std::uint32_t frames, float* const* out,
                                                       std::uint32_t channels) {
            for (std::uint32_t c = 0; c < channels; ++c)
                for (std::uint32_t i = 0; i < frames; ++i)
                    out[c][i] = value(c, time.sampleTime() + i);
            return noErr;
        });
    }
    std::shared_ptr<platform::AudioSourceNode> node;
    std::vector<std::shared_ptr<sonabel::Node>> connections() const override { return {}; }
    std::shared_ptr<platform::AudioNode> avAudioNode() const override { return node; }
};

// Puts a fake device backend in place for the lifetime of the object.
class FakeDevices {
public:
    FakeDevices() : previous_(platform::AudioDeviceBackend::setCurrent(devices)) {}
    ~FakeDevices() { platform::AudioDeviceBackend::setCurrent(previous_); }
    std::shared_ptr<platform::FakeAudioDeviceBackend> devices =
        std::make_shared<platform::FakeAudioDeviceBackend>();

private:
    std::shared_ptr<platform::AudioDeviceBackend> previous_;
};

// A main queue that runs only when the test says so, and an engine in offline test mode
// (44100 Hz, stereo, blocks of 1024 frames).
class TapTest : public ::testing::Test {
protected:
    void SetUp() override { sonabel::Settings::setAudioFormat(sonabel::Settings::defaultAudioFormat()); }
    void TearDown() override { sonabel::Settings::setAudioFormat(sonabel::Settings::defaultAudioFormat()); }

    std::shared_ptr<Source> attach(Source::Value value) {
        auto source = std::make_shared<Source>(std::move(value));
        engine.setOutput(source);
        engine.startTest(10);
        return source;
    }

    FakeDevices fake;
    platform::ManualClock clock;
    platform::MainQueue queue{clock};
    platform::TestMainQueueDriver driver{queue, clock};
    sonabel::AudioEngine engine;
};

// A fresh directory of its own, removed with everything in it at the end.
class ScopedDirectory {
public:
    ScopedDirectory() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path = std::filesystem::temp_directory_path() / ("sonabel-taps-" + std::to_string(::getpid()) + "-" +
                                                         info->test_suite_name() + "-" + info->name());
        std::filesystem::remove_all(path);
        std::filesystem::create_directories(path);
    }
    ~ScopedDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string file(const std::string& name) const { return (path / name).string(); }
    std::filesystem::path path;
};

// The samples of a file, channel by channel, read in float.
inline std::vector<std::vector<float>> readAll(const std::string& path) {
    auto file = platform::AudioFile::forReading(path);
    const auto frames = static_cast<std::uint32_t>(file->length());
    auto buffer = platform::PCMBuffer::make(file->processingFormat(), frames ? frames : 1);
    file->read(*buffer);
    std::vector<std::vector<float>> out(file->processingFormat().channelCount());
    for (std::size_t c = 0; c < out.size(); ++c)
        out[c].assign(buffer->floatChannelData()[c], buffer->floatChannelData()[c] + buffer->frameLength());
    return out;
}

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

// A buffer of the given format whose sample at frame i of channel c is value(c, i).
inline std::shared_ptr<platform::PCMBuffer>
makeBuffer(const platform::AudioFormat& format, std::uint32_t frames,
           const std::function<float(std::uint32_t, std::uint32_t)>& value) {
    auto buffer = platform::PCMBuffer::make(format, frames);
    for (std::uint32_t c = 0; c < format.channelCount(); ++c)
        for (std::uint32_t i = 0; i < frames; ++i)
            buffer->floatChannelData()[c][i] = value(c, i);
    buffer->setFrameLength(frames);
    return buffer;
}

} // namespace taptest
