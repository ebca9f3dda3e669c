#pragma once
// Parameter tapers, range maps and MIDI note/frequency conversions.
#include <cmath>
#include <concepts>
#include <cstdint>

namespace sonabel {

// ((v - min) / (max - min)) ^ (1 / taper)
inline float normalized(float value, float min, float max, float taper) {
    return std::pow((value - min) / (max - min), 1.0f / taper);
}
// n ^ taper * (max - min) + min
inline float denormalized(float value, float min, float max, float taper) {
    return std::pow(value, taper) * (max - min) + min;
}

template <class Note>
requires std::integral<Note> || std::same_as<Note, float>
double midiNoteToFrequency(Note note, double referenceFrequency) {
    return std::pow(2.0, (double(note) - 69.0) / 12.0) * referenceFrequency;
}

template <class Frequency>
requires std::integral<Frequency> || std::same_as<Frequency, float>
float frequencyToMIDINote(Frequency frequency, double referenceFrequency) {
    return float(std::log2(double(frequency) / referenceFrequency) * 12.0 + 69.0);
}

double mapLinear(double x, double inMin, double inMax, double outMin, double outMax);
double mapLinearReversed(double x, double inMin, double inMax, double outMin, double outMax);
// Logarithmic input; a result that is not a number is 0.
double mapLogarithmicInput(double x, double inMin, double inMax, double outMin, double outMax);
double mapExponentialOutput(double x, double inMin, double inMax, double outMin, double outMax);
double mapIntegerInput(std::int64_t x, std::int64_t inMin, std::int64_t inMax, double outMin, double outMax);

} // namespace sonabel
