#include "app/protocol/NoteTuning.h"

#include "platform/core/ValueText.h"

#include <cmath>

namespace malvo {

std::optional<std::array<std::uint8_t, 3>> mtsPitchBytes(double pitch) {
    if (!std::isfinite(pitch)) return std::nullopt;
    constexpr std::array<std::uint8_t, 3> lowest{0x00, 0x00, 0x00};
    constexpr std::array<std::uint8_t, 3> highest{0x7F, 0x7F, 0x7E};
    if (pitch < 0.0) return lowest;
    if (pitch >= 128.0) return highest;
    const double semitone = std::trunc(pitch);
    const auto fraction = static_cast<int>(std::trunc((pitch - semitone) * 16384.0));
    if (semitone == 127.0 && fraction >= 0x3FFF) return highest;
    return std::array<std::uint8_t, 3>{static_cast<std::uint8_t>(semitone),
                                       static_cast<std::uint8_t>((fraction >> 7) & 0x7F),
                                       static_cast<std::uint8_t>(fraction & 0x7F)};
}

std::optional<std::vector<std::uint8_t>> singleNoteTuningMessage(std::uint8_t deviceModel, std::uint8_t key,
                                                                 double pitch) {
    const auto bytes = mtsPitchBytes(pitch);
    if (!bytes || key > 127) return std::nullopt;
    return std::vector<std::uint8_t>{0xF0, 0x7F, deviceModel, 0x08,        0x02,        0x00,
                                     0x01, key,  (*bytes)[0], (*bytes)[1], (*bytes)[2], 0xF7};
}

double pitchFromMTS(std::uint8_t semitone, std::uint8_t fractionHigh, std::uint8_t fractionLow) {
    return semitone + (fractionHigh * 128 + fractionLow) / 16384.0;
}

double frequencyOfPitch(double pitch) {
    return std::round(std::exp2((pitch - 57.0) / 12.0) * 440000.0) / 1000.0;
}

std::string frequencyText(double pitch) {
    return platform::describe(frequencyOfPitch(pitch));
}

std::string pitchText(double pitch) {
    return platform::describe(pitch);
}

} // namespace malvo
