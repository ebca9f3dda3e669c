#pragma once
#include <atomic>
#include <cstdint>

namespace platform {

// The input or output busses of an audio unit. Some units let their bus count change, others
// keep the count they were made with. Read by the rendering thread without a lock.
class AUAudioUnitBusArray {
public:
    AUAudioUnitBusArray(std::uint32_t count, bool countChangeable, std::uint32_t maximumCount = 1024)
        : count_(count), countChangeable_(countChangeable), maximumCount_(maximumCount) {}

    std::uint32_t count() const;
    bool isCountChangeable() const;
    // False (and the count unchanged) when the count is fixed or beyond the unit's maximum.
    bool setBusCount(std::uint32_t count);

    // For the unit that owns the array: fixes or frees the count.
    void setCountChangeable(bool changeable);
    std::uint32_t maximumCount() const { return maximumCount_; }

private:
    std::atomic<std::uint32_t> count_;
    std::atomic<bool> countChangeable_;
    const std::uint32_t maximumCount_;
};

} // namespace platform
