#pragma once
#include <cstdint>
#include <functional>
#include <mutex>

namespace platform {

// The input or output busses of an audio unit. Some units let their bus count change, others
// keep the count they were made with.
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
    mutable std::mutex mutex_;
    std::uint32_t count_;
    bool countChangeable_;
    std::uint32_t maximumCount_;
};

} // namespace platform
