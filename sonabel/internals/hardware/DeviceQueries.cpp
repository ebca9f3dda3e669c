#include "sonabel/internals/hardware/DeviceQueries.h"

#include "platform/audio/AudioBufferList.h"
#include "platform/audio/AudioOutputNode.h"
#include "platform/audio/AudioUnitCalls.h"
#include "sonabel/internals/error_handling/Log.h"

#include <cstring>
#include <limits>
#include <memory>

namespace sonabel {

using namespace platform;

std::vector<AudioDeviceID> devices() {
    const AudioObjectPropertyAddress address{kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    std::uint32_t size = 0;
    OSStatus status = AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &address, 0, nullptr, &size);
    if (status != noErr) {
        Log({"devices()"}, "Error " + platform::describe(status) + " from AudioObjectGetPropertyDataSize");
        return {};
    }
    const std::size_t count = size / sizeof(AudioDeviceID);
    if (count == 0) return {};
    std::vector<AudioDeviceID> ids(count, 0);
    status = AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size, ids.data());
    if (status != noErr) {
        Log({"devices()"}, "Error " + platform::describe(status) + " from AudioObjectGetPropertyData");
        return {};
    }
    return ids;
}

std::string deviceName(AudioDeviceID id) {
    const AudioObjectPropertyAddress address{kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    const char* name = nullptr;
    std::uint32_t size = sizeof name;
    if (AudioObjectGetPropertyData(id, &address, 0, nullptr, &size, &name) != noErr || !name) return {};
    return name;
}

int channelCount(AudioDeviceID id, AudioObjectPropertyScope scope) {
    const AudioObjectPropertyAddress address{kAudioDevicePropertyStreamConfiguration, scope,
                                             kAudioObjectPropertyElementMain};
    std::uint32_t size = 0;
    if (AudioObjectGetPropertyDataSize(id, &address, 0, nullptr, &size) != noErr) return 0;
    // Whole AudioBuffer-sized blocks, so that the list is suitably aligned.
    const std::size_t bytes = std::max<std::size_t>(size, sizeof(AudioBufferList));
    std::vector<AudioBuffer> storage(bytes / sizeof(AudioBuffer) + 1);
    std::uint32_t ioSize = static_cast<std::uint32_t>(storage.size() * sizeof(AudioBuffer));
    if (AudioObjectGetPropertyData(id, &address, 0, nullptr, &ioSize, storage.data()) != noErr) return 0;
    const auto* raw = reinterpret_cast<const std::byte*>(storage.data());
    std::uint32_t buffers = 0;
    if (ioSize < sizeof buffers) return 0;
    std::memcpy(&buffers, raw, sizeof buffers);
    // A list shorter than its count says is not trusted.
    if (ioSize < audioBufferListSize(buffers) ||
        audioBufferListSize(buffers) > storage.size() * sizeof(AudioBuffer))
        return 0;
    std::int64_t total = 0;
    for (std::uint32_t i = 0; i < buffers; ++i) {
        AudioBuffer buffer;
        std::memcpy(&buffer, raw + audioBufferListSize(i), sizeof buffer);
        total += buffer.mNumberChannels;
    }
    return total > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max() : int(total);
}

int inputChannels(AudioDeviceID id) {
    return channelCount(id, kAudioObjectPropertyScopeInput);
}

int outputChannels(AudioDeviceID id) {
    return channelCount(id, kAudioObjectPropertyScopeOutput);
}

AudioDeviceID getDevice(platform::AudioEngine& engine) {
    AUAudioUnit* unit = engine.outputNode()->audioUnit();
    if (!unit) return 0;
    AudioDeviceID id = 0;
    std::uint32_t size = sizeof id;
    const OSStatus status = AudioUnitGetProperty(unit, kAudioOutputUnitProperty_CurrentDevice,
                                                 kAudioUnitScope_Global, 0, &id, &size);
    if (status != noErr) Log({"getDevice()"}, "getDevice error: ", status);
    return id;
}

void setDevice(platform::AudioEngine& engine, AudioDeviceID id) {
    AUAudioUnit* unit = engine.outputNode()->audioUnit();
    if (!unit) return;
    const OSStatus status = AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice,
                                                 kAudioUnitScope_Global, 0, &id, sizeof id);
    if (status != noErr) Log({"setDevice(id:)"}, "setDevice error: ", status);
}

} // namespace sonabel
