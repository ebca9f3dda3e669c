#include "platform/audio/AudioObjectCalls.h"

#include "platform/audio/devices/AudioDeviceBackend.h"

namespace platform {

OSStatus AudioObjectGetPropertyDataSize(AudioObjectID objectID, const AudioObjectPropertyAddress* address,
                                        std::uint32_t, const void*, std::uint32_t* outDataSize) {
    if (!address || !outDataSize) return kAudio_ParamError;
    return AudioDeviceBackend::current()->getPropertyDataSize(objectID, *address, *outDataSize);
}

OSStatus AudioObjectGetPropertyData(AudioObjectID objectID, const AudioObjectPropertyAddress* address,
                                    std::uint32_t, const void*, std::uint32_t* ioDataSize, void* outData) {
    if (!address || !ioDataSize || !outData) return kAudio_ParamError;
    return AudioDeviceBackend::current()->getPropertyData(objectID, *address, *ioDataSize, outData);
}

} // namespace platform
