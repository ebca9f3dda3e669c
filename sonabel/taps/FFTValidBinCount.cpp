#include "sonabel/taps/FFTValidBinCount.h"

namespace sonabel {

std::optional<FFTValidBinCount> FFTValidBinCount::fromRawValue(double rawValue) {
    for (int c = two; c <= eightThousandOneHundredAndNintyTwo; ++c)
        if (double(1 << c) == rawValue) return FFTValidBinCount(static_cast<Case>(c));
    return std::nullopt;
}

} // namespace sonabel
