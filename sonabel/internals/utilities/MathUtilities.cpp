#include "sonabel/internals/utilities/MathUtilities.h"

namespace sonabel {

double mapLinear(double x, double inMin, double inMax, double outMin, double outMax) {
    return outMin + (outMax - outMin) * ((x - inMin) / (inMax - inMin));
}

double mapLinearReversed(double x, double inMin, double inMax, double outMin, double outMax) {
    return outMax - (outMax - outMin) * ((x - inMin) / (inMax - inMin));
}

double mapLogarithmicInput(double x, double inMin, double inMax, double outMin, double outMax) {
    const double r = outMin + (outMax - outMin) * (std::log10(x) - std::log10(inMin)) /
                                  (std::log10(inMax) - std::log10(inMin));
    return std::isnan(r) ? 0 : r;
}

double mapExponentialOutput(double x, double inMin, double inMax, double outMin, double outMax) {
    return std::exp(std::log(outMin) + (std::log(outMax) - std::log(outMin)) / (inMax - inMin) * (x - inMin));
}

double mapIntegerInput(std::int64_t x, std::int64_t inMin, std::int64_t inMax, double outMin, double outMax) {
    // Differences in 64-bit integers can overflow; taken in double they cannot.
    return outMin + (outMax - outMin) * ((double(x) - double(inMin)) / (double(inMax) - double(inMin)));
}

} // namespace sonabel
