#include "platform/audio/AudioRingBuffer.h"

#include <algorithm>
#include <cstring>

namespace platform {

AudioRingBuffer::AudioRingBuffer(std::uint32_t channels, std::uint32_t capacityFrames)
    : channels_(std::max(channels, 1u)), capacity_(std::max(capacityFrames, 1u)),
      samples_(new float[std::size_t(channels_) * capacity_]()) {}

std::uint32_t AudioRingBuffer::available() const {
    return std::uint32_t(written_.load(std::memory_order_acquire) - read_.load(std::memory_order_acquire));
}

std::uint32_t AudioRingBuffer::write(const float* interleaved, std::uint32_t frames) {
    const std::uint64_t w = written_.load(std::memory_order_relaxed);
    const std::uint64_t free = capacity_ - (w - read_.load(std::memory_order_acquire));
    const std::uint32_t n = std::uint32_t(std::min<std::uint64_t>(frames, free));
    if (n < frames) overruns_.fetch_add(frames - n, std::memory_order_relaxed);
    const std::uint32_t start = std::uint32_t(w % capacity_);
    const std::uint32_t first = std::min(n, capacity_ - start);
    std::memcpy(samples_.get() + std::size_t(start) * channels_, interleaved,
                std::size_t(first) * channels_ * sizeof(float));
    std::memcpy(samples_.get(), interleaved + std::size_t(first) * channels_,
                std::size_t(n - first) * channels_ * sizeof(float));
    written_.store(w + n, std::memory_order_release);
    return n;
}

std::uint32_t AudioRingBuffer::read(float* const* out, const std::int32_t* source, std::uint32_t outChannels,
                                    std::uint32_t frames) {
    const std::uint64_t r = read_.load(std::memory_order_relaxed);
    const std::uint64_t filled = written_.load(std::memory_order_acquire) - r;
    std::uint32_t n = 0;
    if (primed_ || filled >= prefill_) {
        primed_ = true;
        n = std::uint32_t(std::min<std::uint64_t>(frames, filled));
        if (n < frames) {
            underruns_.fetch_add(frames - n, std::memory_order_relaxed);
            primed_ = prefill_ == 0;
        }
    }
    for (std::uint32_t c = 0; c < outChannels; ++c) {
        float* to = out[c];
        const std::int32_t from = source[c];
        if (from < 0 || std::uint32_t(from) >= channels_) {
            std::memset(to, 0, frames * sizeof(float));
            continue;
        }
        std::uint32_t position = std::uint32_t(r % capacity_);
        const float* base = samples_.get() + from;
        for (std::uint32_t i = 0; i < n; ++i) {
            to[i] = base[std::size_t(position) * channels_];
            if (++position == capacity_) position = 0;
        }
        std::memset(to + n, 0, (frames - n) * sizeof(float));
    }
    read_.store(r + n, std::memory_order_release);
    return n;
}

void AudioRingBuffer::discard(std::uint32_t frames) {
    const std::uint64_t r = read_.load(std::memory_order_relaxed);
    const std::uint64_t n = std::min<std::uint64_t>(frames, written_.load(std::memory_order_acquire) - r);
    read_.store(r + n, std::memory_order_release);
}

} // namespace platform
