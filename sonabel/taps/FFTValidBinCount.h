#pragma once
#include <array>
#include <optional>

namespace sonabel {

// The bin counts an FFT tap can be fixed to: the powers of two from 2 to 8192.
class FFTValidBinCount {
public:
    enum Case : int {
        two = 1,
        four,
        eight,
        sixteen,
        thirtyTwo,
        sixtyFour,
        oneHundredTwentyEight,
        twoHundredFiftySix,
        fiveHundredAndTwelve,
        oneThousandAndTwentyFour,
        twoThousandAndFortyEight,
        fourThousandAndNintySix,
        eightThousandOneHundredAndNintyTwo,
    };

    constexpr FFTValidBinCount(Case c) : case_(c) {}
    // Exactly the thirteen bin counts; none for any other value.
    static std::optional<FFTValidBinCount> fromRawValue(double rawValue);

    constexpr double rawValue() const { return double(1 << case_); }
    constexpr unsigned log2n() const { return unsigned(case_); }
    constexpr Case value() const { return case_; }
    constexpr bool operator==(const FFTValidBinCount&) const = default;
    constexpr bool operator==(Case c) const { return case_ == c; }

private:
    Case case_;
};

} // namespace sonabel
