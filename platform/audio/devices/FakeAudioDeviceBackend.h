#pragma once
#include "platform/audio/AudioRingBuffer.h"
#include "platform/audio/devices/AudioDeviceBackend.h"

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace platform {

// Devices and failures as a test sets them up; engines started on it render only when the test
// calls tick().
class FakeAudioDeviceBackend : public AudioDeviceBackend {
public:
    // Returns the new device's ID (2, 3, ...). Each element of a stream list is one stream's channels.
    AudioDeviceID addDevice(std::string name, std::vector<std::uint32_t> inputStreams,
                            std::vector<std::uint32_t> outputStreams);
    // Makes the size (or data) query of a selector answer `status`; noErr clears it.
    void failProperty(AudioObjectPropertySelector selector, bool sizeQuery, OSStatus status);
    // Stream configuration data queries report success with only this many bytes.
    void truncateStreamConfiguration(std::optional<std::uint32_t> bytes);
    void setDefaultOutputDevice(AudioDeviceID id);
    void setBufferFrameSize(std::uint32_t frames, OSStatus status = noErr);
    void setCurrentDeviceStatus(OSStatus status);
    void setOutputFormat(const AudioFormat& format);
    void setInputFormat(const AudioFormat& format);
    // The next starts raise this message.
    void failStart(std::optional<std::string> message);

    // Runs one render callback of the engine started last, as a device's thread would: without
    // waiting for a lock and handing taps to the engine's tap thread. Null when none is running, or
    // for more frames than the buffer frame size the engine started with (or 4,096, the larger).
    // With a host time the cycle is stamped with it, as a device's is. Call it from one thread at a
    // time.
    std::shared_ptr<PCMBuffer> tick(std::uint32_t frames);
    std::shared_ptr<PCMBuffer> tick(std::uint32_t frames, std::optional<std::uint64_t> hostTime);
    // What the input device captures, as its callback would hand it over: into the running engine's
    // capture ring (8192 frames), in the input format's channels. Returns the frames that fit; 0 while
    // no engine runs with its input node in the graph.
    std::uint32_t feedInput(const PCMBuffer& frames);
    std::shared_ptr<AudioRingBuffer> captureRing() const;
    bool isRunning() const;
    int startCount() const;

    OSStatus deviceIDs(std::vector<AudioDeviceID>& ids) const override;
    OSStatus deviceName(AudioDeviceID id, std::string& name) const override;
    OSStatus streamChannels(AudioDeviceID id, bool input, std::vector<std::uint32_t>& streams) const override;
    std::shared_ptr<AudioIOBackend> makeIO() override;
    OSStatus getPropertyDataSize(AudioObjectID objectID, const AudioObjectPropertyAddress& address,
                                 std::uint32_t& size) const override;
    OSStatus getPropertyData(AudioObjectID objectID, const AudioObjectPropertyAddress& address,
                             std::uint32_t& size, void* data) const override;

private:
    class IO;
    struct Device {
        std::string name;
        std::vector<std::uint32_t> inputStreams;
        std::vector<std::uint32_t> outputStreams;
    };

    mutable std::mutex mutex_;
    std::map<AudioDeviceID, Device> devices_;
    AudioDeviceID nextID_ = 2;
    std::map<std::pair<AudioObjectPropertySelector, bool>, OSStatus> failures_;
    std::optional<std::uint32_t> truncatedBytes_;
    AudioDeviceID defaultOutput_ = 0;
    std::uint32_t bufferFrames_ = 512;
    OSStatus bufferFramesStatus_ = noErr;
    OSStatus currentDeviceStatus_ = noErr;
    AudioFormat outputFormat_ = *AudioFormat::standard(44100, 2);
    AudioFormat inputFormat_;
    std::optional<std::string> startError_;
    AudioEngine* running_ = nullptr;
    std::atomic<IO*> runningIO_{nullptr};
    std::shared_ptr<AudioRingBuffer> ring_;
    int starts_ = 0;
};

} // namespace platform
