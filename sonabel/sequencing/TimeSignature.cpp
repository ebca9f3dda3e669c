#include "sonabel/sequencing/TimeSignature.h"

namespace sonabel {

std::optional<TimeSignature::TimeSignatureBottomValue>
TimeSignature::bottomValueFromRawValue(std::uint8_t rawValue) {
    if (rawValue < 1 || rawValue > 4) return std::nullopt;
    return static_cast<TimeSignatureBottomValue>(rawValue);
}

std::pair<int, int> TimeSignature::readableValues() const {
    return {topValue, 1 << rawValue(bottomValue)};
}

std::string TimeSignature::description() const {
    const auto [top, bottom] = readableValues();
    return std::to_string(top) + "/" + std::to_string(bottom);
}

} // namespace sonabel
