#pragma once
#include <vector>

namespace sonabel {

// Decimates a signal to about sampleCount samples by averaging pairs; empty, with the line
// "Error in downsample: invalid arguments", when the count is not positive or the signal too short.
std::vector<float> downsample(const std::vector<float>& signal, int sampleCount);

} // namespace sonabel
