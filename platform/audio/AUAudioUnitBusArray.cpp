#include "platform/audio/AUAudioUnitBusArray.h"

namespace platform {

std::uint32_t AUAudioUnitBusArray::count() const {
    std::lock_guard lock(mutex_);
    return count_;
}

bool AUAudioUnitBusArray::isCountChangeable() const {
    std::lock_guard lock(mutex_);
    return countChangeable_;
}

bool AUAudioUnitBusArray::setBusCount(std::uint32_t count) {
    std::lock_guard lock(mutex_);
    if (!countChangeable_ || count > maximumCount_) return false;
    count_ = count;
    return true;
}

void AUAudioUnitBusArray::setCountChangeable(bool changeable) {
    std::lock_guard lock(mutex_);
    countChangeable_ = changeable;
}

} // namespace platform
