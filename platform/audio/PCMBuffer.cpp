#include "platform/audio/PCMBuffer.h"

#include <cstring>
#include <limits>
#include <new>

namespace platform {

namespace {
// Larger buffers are refused rather than risking an allocation the machine cannot satisfy.
constexpr std::size_t kMaxBufferBytes = std::size_t{1} << 34;
} // namespace

std::shared_ptr<PCMBuffer> PCMBuffer::make(const AudioFormat& format, std::uint32_t frameCapacity) {
    if (format.isEmpty() || format.bytesPerSample() == 0) return nullptr;
    const std::size_t samples = std::size_t{frameCapacity} * format.channelCount();
    if (samples > kMaxBufferBytes / format.bytesPerSample()) return nullptr;
    std::shared_ptr<PCMBuffer> buffer(new PCMBuffer());
    buffer->format_ = format;
    buffer->frameCapacity_ = frameCapacity;
    buffer->storageBytes_ = samples * format.bytesPerSample();
    try {
        // At least one byte, so that channel pointers of an empty buffer are still distinct and valid.
        buffer->storage_.reset(new std::byte[buffer->storageBytes_ ? buffer->storageBytes_ : 1]());
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    const std::uint32_t channels = format.channelCount();
    if (format.isInterleaved()) {
        buffer->channels_.push_back(buffer->storage_.get());
    } else {
        const std::size_t channelBytes = std::size_t{frameCapacity} * format.bytesPerSample();
        for (std::uint32_t c = 0; c < channels; ++c)
            buffer->channels_.push_back(buffer->storage_.get() + c * channelBytes);
    }
    return buffer;
}

float* const* PCMBuffer::floatChannelData() const {
    if (format_.commonFormat() != AudioFormat::CommonFormat::pcmFormatFloat32) return nullptr;
    return reinterpret_cast<float* const*>(channels_.data());
}

double* const* PCMBuffer::doubleChannelData() const {
    if (format_.commonFormat() != AudioFormat::CommonFormat::pcmFormatFloat64) return nullptr;
    return reinterpret_cast<double* const*>(channels_.data());
}

std::int16_t* const* PCMBuffer::int16ChannelData() const {
    if (format_.commonFormat() != AudioFormat::CommonFormat::pcmFormatInt16) return nullptr;
    return reinterpret_cast<std::int16_t* const*>(channels_.data());
}

std::int32_t* const* PCMBuffer::int32ChannelData() const {
    if (format_.commonFormat() != AudioFormat::CommonFormat::pcmFormatInt32) return nullptr;
    return reinterpret_cast<std::int32_t* const*>(channels_.data());
}

void PCMBuffer::clear() {
    if (storageBytes_) std::memset(storage_.get(), 0, storageBytes_);
}

} // namespace platform
