#include "platform/audio/devices/AudioDeviceBackend.h"

#include "platform/audio/AudioBufferList.h"
#include "platform/audio/devices/JackDeviceBackend.h"
#include "platform/audio/devices/NullAudioDeviceBackend.h"
#include "platform/audio/devices/RtAudioDeviceBackend.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>

namespace platform {

namespace {
std::mutex gBackendMutex;
std::shared_ptr<AudioDeviceBackend> gBackend;

OSStatus directionOf(AudioObjectPropertyScope scope, bool& input) {
    if (scope == kAudioObjectPropertyScopeInput)
        input = true;
    else if (scope == kAudioObjectPropertyScopeOutput)
        input = false;
    else
        return kAudioHardwareUnknownPropertyError;
    return noErr;
}
} // namespace

std::shared_ptr<AudioDeviceBackend> AudioDeviceBackend::current() {
    std::lock_guard lock(gBackendMutex);
    if (!gBackend) {
        // A JACK server, PipeWire's JACK interface among them, runs the engine in its own real-time
        // thread at one quantum; elsewhere RtAudio.
        if (auto jack = JackDeviceBackend::makeIfAvailable())
            gBackend = jack;
        else if (auto rt = RtAudioDeviceBackend::makeIfAvailable())
            gBackend = rt;
        else
            gBackend = std::make_shared<NullAudioDeviceBackend>();
    }
    return gBackend;
}

std::shared_ptr<AudioDeviceBackend>
AudioDeviceBackend::setCurrent(std::shared_ptr<AudioDeviceBackend> backend) {
    std::lock_guard lock(gBackendMutex);
    std::swap(gBackend, backend);
    return backend;
}

bool AudioDeviceBackend::listsDevices(const AudioDeviceBackend& backend) {
    std::vector<AudioDeviceID> ids;
    if (backend.deviceIDs(ids) != noErr) return false;
    for (const AudioDeviceID id : ids)
        for (const bool input : {false, true}) {
            std::vector<std::uint32_t> streams;
            if (backend.streamChannels(id, input, streams) != noErr) continue;
            for (const std::uint32_t channels : streams)
                if (channels > 0) return true;
        }
    return false;
}

bool AudioDeviceBackend::hasDevice(AudioDeviceID id) const {
    std::vector<AudioDeviceID> ids;
    if (deviceIDs(ids) != noErr) return false;
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

const char* AudioDeviceBackend::intern(const std::string& text) {
    static std::mutex mutex;
    static std::set<std::string> texts;
    std::lock_guard lock(mutex);
    return texts.insert(text).first->c_str();
}

OSStatus AudioDeviceBackend::getPropertyDataSize(AudioObjectID objectID,
                                                 const AudioObjectPropertyAddress& address,
                                                 std::uint32_t& size) const {
    if (objectID == kAudioObjectSystemObject) {
        if (address.mSelector != kAudioHardwarePropertyDevices) return kAudioHardwareUnknownPropertyError;
        std::vector<AudioDeviceID> ids;
        if (OSStatus status = deviceIDs(ids); status != noErr) return status;
        size = static_cast<std::uint32_t>(ids.size() * sizeof(AudioDeviceID));
        return noErr;
    }
    if (!hasDevice(objectID)) return kAudioHardwareBadObjectError;
    switch (address.mSelector) {
    case kAudioObjectPropertyName:
        size = sizeof(const char*);
        return noErr;
    case kAudioDevicePropertyStreamConfiguration: {
        bool input = false;
        if (OSStatus status = directionOf(address.mScope, input); status != noErr) return status;
        std::vector<std::uint32_t> streams;
        if (OSStatus status = streamChannels(objectID, input, streams); status != noErr) return status;
        size = static_cast<std::uint32_t>(audioBufferListSize(static_cast<std::uint32_t>(streams.size())));
        return noErr;
    }
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus AudioDeviceBackend::getPropertyData(AudioObjectID objectID,
                                             const AudioObjectPropertyAddress& address, std::uint32_t& size,
                                             void* data) const {
    if (objectID == kAudioObjectSystemObject) {
        if (address.mSelector != kAudioHardwarePropertyDevices) return kAudioHardwareUnknownPropertyError;
        std::vector<AudioDeviceID> ids;
        if (OSStatus status = deviceIDs(ids); status != noErr) return status;
        const std::size_t count = std::min<std::size_t>(ids.size(), size / sizeof(AudioDeviceID));
        if (count) std::memcpy(data, ids.data(), count * sizeof(AudioDeviceID));
        size = static_cast<std::uint32_t>(count * sizeof(AudioDeviceID));
        return noErr;
    }
    if (!hasDevice(objectID)) return kAudioHardwareBadObjectError;
    switch (address.mSelector) {
    case kAudioObjectPropertyName: {
        if (size < sizeof(const char*)) return kAudioHardwareBadPropertySizeError;
        std::string name;
        if (OSStatus status = deviceName(objectID, name); status != noErr) return status;
        const char* text = intern(name);
        std::memcpy(data, &text, sizeof text);
        size = sizeof text;
        return noErr;
    }
    case kAudioDevicePropertyStreamConfiguration: {
        bool input = false;
        if (OSStatus status = directionOf(address.mScope, input); status != noErr) return status;
        std::vector<std::uint32_t> streams;
        if (OSStatus status = streamChannels(objectID, input, streams); status != noErr) return status;
        const auto count = static_cast<std::uint32_t>(streams.size());
        if (size < audioBufferListSize(count)) return kAudioHardwareBadPropertySizeError;
        // Written byte-wise: the list runs past its declared one-element array.
        auto* bytes = static_cast<std::byte*>(data);
        std::memcpy(bytes, &count, sizeof count);
        for (std::uint32_t i = 0; i < count; ++i) {
            const AudioBuffer buffer{streams[i], 0, nullptr};
            std::memcpy(bytes + audioBufferListSize(i), &buffer, sizeof buffer);
        }
        size = static_cast<std::uint32_t>(audioBufferListSize(count));
        return noErr;
    }
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}

} // namespace platform
