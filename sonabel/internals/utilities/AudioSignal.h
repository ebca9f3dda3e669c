#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sonabel {

// The first channel of a whole audio file, with the file's rate and length in frames.
struct AudioSignal {
    std::vector<float> signal;
    double sampleRate = 0;
    std::int64_t frameCount = 0;
};

// Absent (with a log line) when the file cannot be opened or read whole.
std::optional<AudioSignal> loadAudioSignal(const std::string& audioURL);

} // namespace sonabel
