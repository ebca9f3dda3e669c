#pragma once
#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioObjectCalls.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// The machine's audio devices as the audio object system shows them, and real-time I/O for
// engines. One backend serves the process: chosen once at first use (a JACK server when one
// answers, PipeWire's JACK interface among them, and lists a device; else RtAudio when it lists a
// device with input or output channels; else the null backend) and replaced in tests. Device IDs are 2 and up
// and stay the same for a device for the whole session.
class AudioDeviceBackend {
public:
    virtual ~AudioDeviceBackend() = default;

    virtual OSStatus deviceIDs(std::vector<AudioDeviceID>& ids) const = 0;
    virtual OSStatus deviceName(AudioDeviceID id, std::string& name) const = 0;
    // The channel count of each of the device's streams in one direction.
    virtual OSStatus streamChannels(AudioDeviceID id, bool input,
                                    std::vector<std::uint32_t>& streams) const = 0;
    // By default a look through deviceIDs().
    virtual bool hasDevice(AudioDeviceID id) const;
    // I/O for one engine; it starts on the default output device.
    virtual std::shared_ptr<AudioIOBackend> makeIO() = 0;

    // The property calls, over the three queries above.
    virtual OSStatus getPropertyDataSize(AudioObjectID objectID, const AudioObjectPropertyAddress& address,
                                         std::uint32_t& size) const;
    virtual OSStatus getPropertyData(AudioObjectID objectID, const AudioObjectPropertyAddress& address,
                                     std::uint32_t& size, void* data) const;

    // True when some device has channels in either direction: an input-only machine counts.
    static bool listsDevices(const AudioDeviceBackend& backend);

    static std::shared_ptr<AudioDeviceBackend> current();
    // Returns the previous backend so tests can restore it.
    static std::shared_ptr<AudioDeviceBackend> setCurrent(std::shared_ptr<AudioDeviceBackend> backend);

    // A process-lifetime copy of the text, for the name property.
    static const char* intern(const std::string& text);
};

} // namespace platform
