#pragma once
// The C-style audio-unit calls, over our AUAudioUnit.
#include "platform/audio/AUAudioUnit.h"
#include "platform/core/OSStatus.h"

#include <cstdint>

namespace platform {

using AudioUnit = AUAudioUnit*;
using AudioUnitParameterID = std::uint32_t;
using AudioUnitParameterValue = float;

inline constexpr AudioUnitScope kAudioUnitScope_Global = 0;
inline constexpr AudioUnitScope kAudioUnitScope_Input = 1;
inline constexpr AudioUnitScope kAudioUnitScope_Output = 2;

inline constexpr AudioUnitPropertyID kAudioUnitProperty_SampleRate = 2;
inline constexpr AudioUnitPropertyID kAudioUnitProperty_StreamFormat = 8;
inline constexpr AudioUnitPropertyID kAudioUnitProperty_ElementCount = 11;
inline constexpr AudioUnitPropertyID kAudioUnitProperty_MaximumFramesPerSlice = 14;
inline constexpr AudioUnitPropertyID kAudioUnitProperty_BypassEffect = 21;
inline constexpr AudioUnitPropertyID kAudioOutputUnitProperty_CurrentDevice = 2000;
// Consecutive Int32 device channel numbers (-1: silence), set on the input element's output scope.
inline constexpr AudioUnitPropertyID kAudioOutputUnitProperty_ChannelMap = 2002;
inline constexpr AudioUnitPropertyID kAudioDevicePropertyBufferFrameSize = 0x6673697A; // 'fsiz'

// Writes the value the unit renders with; the parameter objects of its tree are not touched.
OSStatus AudioUnitSetParameter(AudioUnit unit, AudioUnitParameterID id, AudioUnitScope scope,
                               AudioUnitElement element, AudioUnitParameterValue value,
                               std::uint32_t bufferOffsetInFrames);
OSStatus AudioUnitGetParameter(AudioUnit unit, AudioUnitParameterID id, AudioUnitScope scope,
                               AudioUnitElement element, AudioUnitParameterValue* value);
OSStatus AudioUnitGetProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                              AudioUnitElement element, void* data, std::uint32_t* dataSize);
OSStatus AudioUnitSetProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                              AudioUnitElement element, const void* data, std::uint32_t dataSize);
OSStatus AudioUnitReset(AudioUnit unit, AudioUnitScope scope, AudioUnitElement element);

} // namespace platform
