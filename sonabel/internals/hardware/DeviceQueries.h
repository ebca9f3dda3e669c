#pragma once
// The audio object system as the framework reads it.
#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioObjectCalls.h"

#include <string>
#include <vector>

namespace sonabel {

// Every device of the system in the platform's order; empty (with a log line) when the list fails.
std::vector<platform::AudioDeviceID> devices();
// Empty when the device gives no name.
std::string deviceName(platform::AudioDeviceID id);
int inputChannels(platform::AudioDeviceID id);
int outputChannels(platform::AudioDeviceID id);
// The channels of all the device's streams in one scope; 0 on any failure.
int channelCount(platform::AudioDeviceID id, platform::AudioObjectPropertyScope scope);

// The device the engine's output node plays to; 0 when it has no device unit.
platform::AudioDeviceID getDevice(platform::AudioEngine& engine);
void setDevice(platform::AudioEngine& engine, platform::AudioDeviceID id);

} // namespace sonabel
