#pragma once
// Numerator and power-of-two denominator, as the time-signature meta event carries them.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace sonabel {

struct TimeSignature {
    // The base-2 exponent of the note value.
    enum class TimeSignatureBottomValue : std::uint8_t { two = 1, four = 2, eight = 3, sixteen = 4 };

    static std::optional<TimeSignatureBottomValue> bottomValueFromRawValue(std::uint8_t rawValue);
    static std::uint8_t rawValue(TimeSignatureBottomValue value) { return static_cast<std::uint8_t>(value); }

    std::uint8_t topValue = 4;
    TimeSignatureBottomValue bottomValue = TimeSignatureBottomValue::four;

    // (numerator, denominator), e.g. (6, 8)
    std::pair<int, int> readableValues() const;
    std::string description() const;
    bool operator==(const TimeSignature&) const = default;
};

} // namespace sonabel
