#pragma once
#include "platform/audio/AudioTime.h"

#include <cstdint>

namespace sonabel {

class MultiChannelInputNodeTap;

// Told when the multichannel tap is installed or removed (on the thread that changed it) and after
// every processed buffer (on the tap thread).
class MultiChannelInputNodeTapDelegate {
public:
    virtual ~MultiChannelInputNodeTapDelegate() = default;
    virtual void tapDidInstall(MultiChannelInputNodeTap& tap) = 0;
    virtual void tapDidRemove(MultiChannelInputNodeTap& tap) = 0;
    virtual void tapDidProcess(MultiChannelInputNodeTap& tap, std::uint32_t frameLength,
                               const platform::AudioTime& time) = 0;
};

} // namespace sonabel
