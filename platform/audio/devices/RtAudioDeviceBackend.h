#pragma once
#include "platform/audio/devices/AudioDeviceBackend.h"
#include "platform/core/HostClock.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>

class RtAudio;

namespace platform {

// The machine's ALSA devices through RtAudio (PulseAudio and PipeWire appear among them through
// ALSA's own "default" and "pulse" devices). One RtAudio stream per started engine.
class RtAudioDeviceBackend : public AudioDeviceBackend,
                             public std::enable_shared_from_this<RtAudioDeviceBackend> {
public:
    struct Configuration {
        HostClock* clock = &HostClock::system();
        std::uint32_t bufferFrameSize = 512;
    };

    // Null when RtAudio lists no device with output channels.
    static std::shared_ptr<RtAudioDeviceBackend> makeIfAvailable();
    static std::shared_ptr<RtAudioDeviceBackend> makeIfAvailable(Configuration configuration);
    ~RtAudioDeviceBackend() override;

    OSStatus deviceIDs(std::vector<AudioDeviceID>& ids) const override;
    OSStatus deviceName(AudioDeviceID id, std::string& name) const override;
    OSStatus streamChannels(AudioDeviceID id, bool input, std::vector<std::uint32_t>& streams) const override;
    bool hasDevice(AudioDeviceID id) const override;
    std::shared_ptr<AudioIOBackend> makeIO() override;

    struct Device {
        std::string name;
        unsigned index = 0; // RtAudio's index at the last listing
        unsigned inputChannels = 0;
        unsigned outputChannels = 0;
        unsigned preferredSampleRate = 0;
        bool isDefaultOutput = false;
        bool isDefaultInput = false;
    };
    // The last listing's entry for a device.
    bool device(AudioDeviceID id, Device& out) const;
    AudioDeviceID defaultDevice(bool input) const;
    const Configuration& configuration() const { return configuration_; }

private:
    explicit RtAudioDeviceBackend(Configuration configuration);
    void refreshLocked() const;

    Configuration configuration_;
    mutable std::mutex mutex_;
    std::unique_ptr<RtAudio> rt_;
    mutable std::map<std::string, AudioDeviceID> ids_; // names keep their ID for the session
    mutable std::map<AudioDeviceID, Device> devices_;
    mutable AudioDeviceID nextID_ = 2;
};

} // namespace platform
