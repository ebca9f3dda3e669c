#include "platform/audio/AudioOutputNode.h"
#include "platform/audio/devices/FakeAudioDeviceBackend.h"
#include "platform/core/LogSink.h"
#include "platform/core/ValueText.h"
#include "sonabel/internals/engine/AudioEngine.h"
#include "sonabel/internals/hardware/Device.h"
#include "sonabel/internals/hardware/DeviceQueries.h"

#include <gtest/gtest.h>

#include <unordered_set>

using namespace sonabel;

namespace {

class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override { previous_ = platform::AudioDeviceBackend::setCurrent(fake); }
    void TearDown() override { platform::AudioDeviceBackend::setCurrent(previous_); }
    std::shared_ptr<platform::FakeAudioDeviceBackend> fake =
        std::make_shared<platform::FakeAudioDeviceBackend>();

private:
    std::shared_ptr<platform::AudioDeviceBackend> previous_;
};

// The whole line Log writes, whatever line number it carries.
std::string content(const std::string& line, const std::string& function) {
    const std::string prefix = "DeviceQueries.cpp:" + function + ":";
    if (line.rfind(prefix, 0) != 0) return "unexpected: " + line;
    const auto start = line.find(':', prefix.size()) + 1;
    return line.substr(start, line.rfind(" (") - start);
}

} // namespace

TEST_F(DeviceTest, NoDevices) {
    platform::ScopedLogCapture capture;
    EXPECT_TRUE(devices().empty());
    EXPECT_TRUE(AudioEngine::inputDevices().empty());
    EXPECT_TRUE(AudioEngine::outputDevices().empty());
    EXPECT_TRUE(AudioEngine::allDevices().empty());
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(DeviceTest, ListsByDirectionWithSummedStreams) {
    const auto mic = fake->addDevice("Mic", {2, 2}, {});
    const auto speakers = fake->addDevice("Speakers", {}, {2});
    const auto box = fake->addDevice("Box", {1}, {2, 6});
    EXPECT_EQ(devices(), (std::vector<platform::AudioDeviceID>{mic, speakers, box}));
    EXPECT_EQ(mic, 2u); // 0 is no device, 1 the system object

    const auto inputs = AudioEngine::inputDevices();
    ASSERT_EQ(inputs.size(), 2u);
    EXPECT_EQ(inputs[0].name, "Mic");
    EXPECT_EQ(inputs[0].inputChannelCount, 4);
    EXPECT_EQ(inputs[0].outputChannelCount, 0);
    EXPECT_EQ(inputs[1].deviceID, box);

    const auto outputs = AudioEngine::outputDevices();
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_EQ(outputs[0], Device(speakers));
    EXPECT_EQ(outputs[0].inputChannelCount, 0);
    EXPECT_EQ(outputs[1].outputChannelCount, 8);
    EXPECT_EQ(outputs[1].inputChannelCount, 1);

    EXPECT_EQ(AudioEngine::allDevices(), (std::vector<Device>{Device(mic), Device(speakers), Device(box)}));
}

TEST_F(DeviceTest, ValueSemantics) {
    const auto id = fake->addDevice("Speakers", {}, {2});
    const Device queried(id);
    const Device named("Speakers", id);
    EXPECT_FALSE(named.inputChannelCount);
    EXPECT_NE(queried, named);
    EXPECT_EQ(queried, Device(id));
    std::unordered_set<Device> set{queried, Device(id), named};
    EXPECT_EQ(set.size(), 2u);
    EXPECT_EQ(Device("Speakers", 73).description(), "<Device: Speakers (73)>");
    EXPECT_EQ(platform::describe(Device("Speakers", 73)), "<Device: Speakers (73)>");
}

TEST_F(DeviceTest, FailedQueries) {
    platform::ScopedLogCapture capture;
    const auto id = fake->addDevice("Box", {2}, {2});
    fake->failProperty(platform::kAudioHardwarePropertyDevices, true, kAudio_ParamError);
    EXPECT_TRUE(devices().empty());
    EXPECT_TRUE(AudioEngine::allDevices().empty());
    fake->failProperty(platform::kAudioHardwarePropertyDevices, true, noErr);
    fake->failProperty(platform::kAudioHardwarePropertyDevices, false,
                       platform::kAudioHardwareUnspecifiedError);
    EXPECT_TRUE(devices().empty());
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(content(lines[0], "devices()"), "Error -50 from AudioObjectGetPropertyDataSize");
    EXPECT_EQ(content(lines[2], "devices()"), "Error 2003329396 from AudioObjectGetPropertyData");
    capture.clear();

    fake->failProperty(platform::kAudioObjectPropertyName, false, kAudio_ParamError);
    EXPECT_EQ(deviceName(id), "");
    EXPECT_EQ(deviceName(99), ""); // no such device
    fake->failProperty(platform::kAudioDevicePropertyStreamConfiguration, true, kAudio_ParamError);
    EXPECT_EQ(inputChannels(id), 0);
    fake->failProperty(platform::kAudioDevicePropertyStreamConfiguration, true, noErr);
    EXPECT_EQ(inputChannels(id), 2);
    // a list shorter than its buffer count needs is not read
    fake->truncateStreamConfiguration(8);
    EXPECT_EQ(outputChannels(id), 0);
    fake->truncateStreamConfiguration(2);
    EXPECT_EQ(outputChannels(id), 0);
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(DeviceTest, EngineOutputDevice) {
    platform::ScopedLogCapture capture;
    auto bare = platform::AudioEngine::make(); // no device unit
    EXPECT_EQ(getDevice(*bare), 0u);
    setDevice(*bare, 5);
    EXPECT_TRUE(capture.lines().empty());

    const auto mic = fake->addDevice("Mic", {2}, {});
    const auto speakers = fake->addDevice("Speakers", {}, {2});
    const auto phones = fake->addDevice("Phones", {}, {2});
    AudioEngine engine;
    EXPECT_EQ(engine.device(), Device(speakers));
    engine.setDevice(Device(phones));
    EXPECT_EQ(engine.device().name, "Phones");
    engine.setDevice(Device(mic)); // no outputs
    EXPECT_EQ(engine.device().deviceID, phones);
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_EQ(content(capture.lines()[0], "setDevice(id:)"), "setDevice error:  560227702");

    fake->setCurrentDeviceStatus(kAudioUnitErr_Uninitialized);
    EXPECT_EQ(engine.device().deviceID, 0u);
    ASSERT_EQ(capture.lines().size(), 2u);
    EXPECT_EQ(content(capture.lines()[1], "getDevice()"), "getDevice error:  -10867");
}
