#include "platform/audio/AUAudioUnitBusArray.h"

namespace platform {

std::uint32_t AUAudioUnitBusArray::count() const {
    return count_.load(std::memory_order_acquire);
}

bool AUAudioUnitBusArray::isCountChangeable() const {
    return countChangeable_.load(std::memory_order_acquire);
}

bool AUAudioUnitBusArray::setBusCount(std::uint32_t count) {
    if (!countChangeable_.load() || count > maximumCount_) return false;
    count_.store(count, std::memory_order_release);
    return true;
}

void AUAudioUnitBusArray::setCountChangeable(bool changeable) {
    countChangeable_.store(changeable, std::memory_order_release);
}

} // namespace platform
