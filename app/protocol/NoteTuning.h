#pragma once
// Live tuning of single keys: the MIDI Tuning Standard real-time single-note tuning change, and
// the pitch and frequency texts of the tuning fields. Key 57 is the 440 Hz reference.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace malvo {

// Semitone, fraction high 7 bits, fraction low 7 bits of a pitch in semitones. Pitches the
// message cannot carry are clamped to 00 00 00 ... 7F 7F 7E (7F 7F 7F means "no change");
// nullopt when the pitch is not finite.
std::optional<std::array<std::uint8_t, 3>> mtsPitchBytes(double pitch);

// F0 7F model 08 02 00 01 key semitone high low F7, plain: frame it like any instrument message.
// nullopt (send nothing) for a key above 127 or a pitch that is not finite.
std::optional<std::vector<std::uint8_t>> singleNoteTuningMessage(std::uint8_t deviceModel, std::uint8_t key,
                                                                 double pitch);

// Pitch of a key report: semitone plus a 14-bit fraction.
double pitchFromMTS(std::uint8_t semitone, std::uint8_t fractionHigh, std::uint8_t fractionLow);

// 2^((pitch - 57) / 12) * 440 in Hz, rounded to three decimals (halves away from zero).
double frequencyOfPitch(double pitch);

// The tuning fields' texts, independent of the locale: "440.0", "526.282", "60.5".
std::string frequencyText(double pitch);
std::string pitchText(double pitch);

} // namespace malvo
