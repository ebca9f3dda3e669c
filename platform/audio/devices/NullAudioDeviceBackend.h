#pragma once
#include "platform/audio/devices/AudioDeviceBackend.h"
#include "platform/core/HostClock.h"
#include "platform/core/Sleeper.h"

#include <cstdint>

namespace platform {

// No devices. Started engines are still pulled at real-time pace on a thread of their own and the
// output is dropped, so players finish and taps fire as they would with a device.
class NullAudioDeviceBackend : public AudioDeviceBackend {
public:
    struct Configuration {
        HostClock* clock = &HostClock::system();
        Sleeper* sleeper = &Sleeper::system();
        std::uint32_t bufferFrameSize = 512;
        double sampleRate = 44100;
    };

    NullAudioDeviceBackend() = default;
    explicit NullAudioDeviceBackend(Configuration configuration) : configuration_(configuration) {}

    OSStatus deviceIDs(std::vector<AudioDeviceID>& ids) const override;
    OSStatus deviceName(AudioDeviceID id, std::string& name) const override;
    OSStatus streamChannels(AudioDeviceID id, bool input, std::vector<std::uint32_t>& streams) const override;
    std::shared_ptr<AudioIOBackend> makeIO() override;

private:
    Configuration configuration_;
};

} // namespace platform
