#pragma once
// A smoothed value with its smoothing factor and the factor for prior data.
namespace sonabel {

struct ValueSmoothing {
    double smoothed = 0;
    double factor;
    double priorDataFactor;

    bool operator==(const ValueSmoothing&) const = default;
};

} // namespace sonabel
