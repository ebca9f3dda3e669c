#include "sonabel/taps/CopyFrom.h"

#include <cstring>

namespace sonabel {

std::shared_ptr<platform::PCMBuffer> copyFrom(const platform::PCMBuffer& buffer, std::uint32_t startSample) {
    if (startSample >= buffer.frameLength()) return nullptr;
    const std::uint32_t frames = buffer.frameLength() - startSample;
    auto out = platform::PCMBuffer::make(buffer.format(), frames);
    float* const* from = buffer.floatChannelData();
    if (!out || !from) return nullptr;
    float* const* to = out->floatChannelData();
    const std::uint32_t stride = buffer.stride();
    const std::uint32_t arrays = buffer.format().isInterleaved() ? 1 : buffer.format().channelCount();
    for (std::uint32_t c = 0; c < arrays; ++c)
        std::memcpy(to[c], from[c] + std::size_t(startSample) * stride,
                    std::size_t(frames) * stride * sizeof(float));
    out->setFrameLength(frames);
    return out;
}

} // namespace sonabel
