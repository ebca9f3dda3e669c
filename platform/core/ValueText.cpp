#include "platform/core/ValueText.h"

namespace platform {

namespace {
template <class F> std::string describeFloating(F value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    std::array<char, 64> buf{};
    // Whole values of ordinary size print as "44100.0"; others in shortest round-trip form.
    if (value == std::trunc(value) && std::fabs(value) < F(1e16)) {
        auto res = std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::fixed, 0);
        std::string out(buf.data(), res.ptr);
        if (out == "-0" && !std::signbit(value)) out = "0";
        return out + ".0";
    }
    auto res = std::to_chars(buf.data(), buf.data() + buf.size(), value);
    return std::string(buf.data(), res.ptr);
}
} // namespace

std::string describeDouble(double value) {
    return describeFloating(value);
}
std::string describeFloat(float value) {
    return describeFloating(value);
}

} // namespace platform
