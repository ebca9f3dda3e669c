#pragma once
// The four live tuning steps. Raising sends the unlimited sum and limits only what is shown to
// 120.0, so every press at the top sends 120.1 again; lowering limits at 0.0 before sending.
namespace malvo {

struct TuningStep {
    double semitones = 0.0;

    static constexpr double highestShown = 120.0;
    static constexpr double lowest = 0.0;

    // The buttons: Increase:, plus001semi:, Decrease:, minus001semi:.
    static const TuningStep increase;
    static const TuningStep plus001;
    static const TuningStep decrease;
    static const TuningStep minus001;

    // The pitch sent and the pitch then shown, from the pitch shown before the press.
    double pitchSent(double shown) const;
    double pitchShown(double shown) const;
};

inline constexpr TuningStep TuningStep::increase{0.1};
inline constexpr TuningStep TuningStep::plus001{0.01};
inline constexpr TuningStep TuningStep::decrease{-0.1};
inline constexpr TuningStep TuningStep::minus001{-0.01};

} // namespace malvo
