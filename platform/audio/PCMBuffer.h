#pragma once
#include "platform/audio/AudioFormat.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace platform {

// PCM samples in a fixed format and capacity. Deinterleaved buffers keep one array per channel
// (stride 1); interleaved ones keep one array with the channels side by side (stride = channels).
class PCMBuffer {
public:
    // Empty for an empty format or a capacity whose bytes would not fit in memory.
    static std::shared_ptr<PCMBuffer> make(const AudioFormat& format, std::uint32_t frameCapacity);

    const AudioFormat& format() const { return format_; }
    std::uint32_t frameCapacity() const { return frameCapacity_; }
    std::uint32_t frameLength() const { return frameLength_; }
    // Lengths beyond the capacity are clamped to it.
    void setFrameLength(std::uint32_t length) {
        frameLength_ = length < frameCapacity_ ? length : frameCapacity_;
    }
    std::uint32_t stride() const { return format_.isInterleaved() ? format_.channelCount() : 1; }

    // Channel pointers for the buffer's own sample type, else null.
    float* const* floatChannelData() const;
    double* const* doubleChannelData() const;
    std::int16_t* const* int16ChannelData() const;
    std::int32_t* const* int32ChannelData() const;

    // Sets every sample of the capacity to zero; the frame length stays.
    void clear();

    PCMBuffer(const PCMBuffer&) = delete;
    PCMBuffer& operator=(const PCMBuffer&) = delete;

private:
    PCMBuffer() = default;
    AudioFormat format_;
    std::uint32_t frameCapacity_ = 0;
    std::uint32_t frameLength_ = 0;
    std::unique_ptr<std::byte[]> storage_;
    std::size_t storageBytes_ = 0;
    std::vector<void*> channels_;
};

} // namespace platform
