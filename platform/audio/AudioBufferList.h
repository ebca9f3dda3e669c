#pragma once
#include <cstddef>
#include <cstdint>

namespace platform {

struct AudioBuffer {
    std::uint32_t mNumberChannels = 0;
    std::uint32_t mDataByteSize = 0;
    void* mData = nullptr;
};

// A counted run of buffers; the array really holds mNumberBuffers entries, so a list of n buffers
// takes audioBufferListSize(n) bytes.
struct AudioBufferList {
    std::uint32_t mNumberBuffers = 0;
    AudioBuffer mBuffers[1];
};

constexpr std::size_t audioBufferListSize(std::uint32_t buffers) {
    return offsetof(AudioBufferList, mBuffers) + std::size_t{buffers} * sizeof(AudioBuffer);
}

} // namespace platform
