#pragma once
// The audio object system's property calls, answered by the process's device backend.
#include "platform/core/OSStatus.h"

#include <cstdint>

namespace platform {

using AudioObjectID = std::uint32_t;
using AudioDeviceID = AudioObjectID;
using AudioObjectPropertySelector = std::uint32_t;
using AudioObjectPropertyScope = std::uint32_t;
using AudioObjectPropertyElement = std::uint32_t;

struct AudioObjectPropertyAddress {
    AudioObjectPropertySelector mSelector = 0;
    AudioObjectPropertyScope mScope = 0;
    AudioObjectPropertyElement mElement = 0;
};

inline constexpr AudioObjectID kAudioObjectUnknown = 0;
inline constexpr AudioObjectID kAudioObjectSystemObject = 1;

inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDevices = 0x64657623;           // 'dev#'
inline constexpr AudioObjectPropertySelector kAudioObjectPropertyName = 0x6C6E616D;                // 'lnam'
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyStreamConfiguration = 0x736C6179; // 'slay'
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeGlobal = 0x676C6F62;            // 'glob'
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeInput = 0x696E7074;             // 'inpt'
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeOutput = 0x6F757470;            // 'outp'
inline constexpr AudioObjectPropertyElement kAudioObjectPropertyElementMain = 0;

inline constexpr OSStatus kAudioHardwareUnspecifiedError = 0x77686174;      // 'what'
inline constexpr OSStatus kAudioHardwareUnknownPropertyError = 0x77686F3F;  // 'who?'
inline constexpr OSStatus kAudioHardwareBadPropertySizeError = 0x2173697A;  // '!siz'
inline constexpr OSStatus kAudioHardwareIllegalOperationError = 0x6E6F7065; // 'nope'
inline constexpr OSStatus kAudioHardwareBadObjectError = 0x216F626A;        // '!obj'
inline constexpr OSStatus kAudioHardwareBadDeviceError = 0x21646576;        // '!dev'

// Qualifiers are accepted and ignored: no property here takes one.
OSStatus AudioObjectGetPropertyDataSize(AudioObjectID objectID, const AudioObjectPropertyAddress* address,
                                        std::uint32_t qualifierDataSize, const void* qualifierData,
                                        std::uint32_t* outDataSize);
// The device name ('lnam') comes as a `const char*` that stays valid for the whole process.
OSStatus AudioObjectGetPropertyData(AudioObjectID objectID, const AudioObjectPropertyAddress* address,
                                    std::uint32_t qualifierDataSize, const void* qualifierData,
                                    std::uint32_t* ioDataSize, void* outData);

} // namespace platform
