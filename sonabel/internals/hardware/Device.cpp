#include "sonabel/internals/hardware/Device.h"

#include "sonabel/internals/hardware/DeviceQueries.h"

#include <functional>

namespace sonabel {

Device::Device(platform::AudioDeviceID id)
    : name(deviceName(id)), inputChannelCount(inputChannels(id)), outputChannelCount(outputChannels(id)),
      deviceID(id) {}

Device::Device(std::string deviceName, platform::AudioDeviceID id)
    : name(std::move(deviceName)), deviceID(id) {}

std::string Device::description() const {
    return "<Device: " + name + " (" + std::to_string(deviceID) + ")>";
}

std::size_t Device::hash() const {
    std::size_t h = std::hash<std::string>{}(name);
    auto combine = [&h](std::size_t value) { h ^= value + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2); };
    for (const auto& count : {inputChannelCount, outputChannelCount}) {
        combine(count ? 1 : 0);
        if (count) combine(std::hash<int>{}(*count));
    }
    combine(std::hash<platform::AudioDeviceID>{}(deviceID));
    return h;
}

} // namespace sonabel
