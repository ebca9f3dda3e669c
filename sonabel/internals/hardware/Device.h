#pragma once
#include "platform/audio/AudioObjectCalls.h"

#include <cstddef>
#include <optional>
#include <string>

namespace sonabel {

// One audio device of the machine: its name and channel counts as queried when it was made.
struct Device {
    std::string name;
    // Present in a device made from an ID (0 when the query failed), absent in one made from a name.
    std::optional<int> inputChannelCount;
    std::optional<int> outputChannelCount;
    platform::AudioDeviceID deviceID = 0;

    // Queries name and channel counts.
    explicit Device(platform::AudioDeviceID deviceID);
    Device(std::string name, platform::AudioDeviceID deviceID);

    bool operator==(const Device&) const = default;
    // "<Device: name (id)>"
    std::string description() const;
    std::size_t hash() const;
};

} // namespace sonabel

template <> struct std::hash<sonabel::Device> {
    std::size_t operator()(const sonabel::Device& device) const noexcept { return device.hash(); }
};
