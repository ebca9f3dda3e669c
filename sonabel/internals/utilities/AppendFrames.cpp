#include "sonabel/internals/utilities/AppendFrames.h"

#include "sonabel/internals/error_handling/Log.h"

#include <algorithm>

namespace sonabel {

void appendFrames(platform::PCMBuffer& receiver, const platform::PCMBuffer& source,
                  std::int64_t startingFrame, std::uint32_t frameCount) {
    const bool fits = receiver.floatChannelData() && source.floatChannelData() && startingFrame >= 0 &&
                      startingFrame + std::int64_t(frameCount) <= std::int64_t(source.frameLength()) &&
                      std::uint64_t(receiver.frameLength()) + frameCount <= receiver.frameCapacity();
    if (!fits) {
        Log({"appendFrames(from:startingFrame:frameCount:)", OSLogType::error},
            "Error in appendFrames: start", startingFrame, "count", frameCount, "do not fit source length",
            source.frameLength(), "or capacity", receiver.frameCapacity());
        return;
    }
    const std::uint32_t channels = std::min(receiver.format().channelCount(), source.format().channelCount());
    const std::uint32_t rs = receiver.stride(), ss = source.stride();
    for (std::uint32_t c = 0; c < channels; ++c) {
        float* to = receiver.format().isInterleaved() ? receiver.floatChannelData()[0] + c
                                                      : receiver.floatChannelData()[c];
        const float* from =
            source.format().isInterleaved() ? source.floatChannelData()[0] + c : source.floatChannelData()[c];
        for (std::uint32_t i = 0; i < frameCount; ++i)
            to[std::size_t(receiver.frameLength() + i) * rs] = from[std::size_t(startingFrame + i) * ss];
    }
    receiver.setFrameLength(receiver.frameLength() + frameCount);
}

} // namespace sonabel
