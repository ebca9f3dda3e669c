#pragma once
#include "platform/audio/AudioFormat.h"

#include <array>
#include <cstdint>
#include <optional>

namespace platform {
class AudioEngine;
}

namespace sonabel {

// Process-wide audio settings. Read from audio, tap and MIDI threads, so every value is atomic
// or guarded.
class Settings {
public:
    class BufferLength {
    public:
        enum Case : int { shortest = 5, veryShort, short_, medium, long_, veryLong, huge, longest };

        constexpr BufferLength(Case c) : case_(c) {}
        static std::optional<BufferLength> fromRawValue(int rawValue);
        static std::optional<BufferLength> fromSamplesCount(std::int64_t samplesCount);
        static constexpr std::array<Case, 8> allCases{shortest, veryShort, short_, medium,
                                                      long_,    veryLong,  huge,   longest};

        constexpr int rawValue() const { return case_; }
        constexpr std::uint32_t samplesCount() const { return std::uint32_t{1} << case_; }
        // Seconds at the current Settings::sampleRate().
        double duration() const;
        constexpr Case value() const { return case_; }
        constexpr bool operator==(const BufferLength&) const = default;
        constexpr bool operator==(Case c) const { return case_ == c; }

    private:
        Case case_;
    };

    static platform::AudioFormat defaultAudioFormat();
    static platform::AudioFormat audioFormat();
    static void setAudioFormat(const platform::AudioFormat& format);

    static double sampleRate();
    // Stores the standard format with the new rate and the current channel count, or the empty
    // format when that is refused.
    static void setSampleRate(double rate);
    static std::uint32_t channelCount();
    static void setChannelCount(std::uint32_t count);

    static BufferLength defaultBufferLength();
    static void setDefaultBufferLength(BufferLength length);
    static BufferLength recorderBufferLength();
    static void setRecorderBufferLength(BufferLength length);

    static bool waitBeforeRecorderStop();
    static void setWaitBeforeRecorderStop(bool wait);

    static bool loggingEnabled();
    static void setLoggingEnabled(bool enabled);

    // Seconds of the output hardware's I/O buffer; 0 when the output node has no device unit or
    // no sample rate.
    static double getIOBufferDuration(platform::AudioEngine& engine);
};

} // namespace sonabel
