#pragma once
#include "platform/audio/AudioFormat.h"
#include "platform/core/ValueText.h"

#include <cstdint>
#include <string>

namespace platform {

inline constexpr std::uint32_t kAudioFormatFlagIsFloat = 0x1;
inline constexpr std::uint32_t kAudioFormatFlagIsBigEndian = 0x2;
inline constexpr std::uint32_t kAudioFormatFlagIsSignedInteger = 0x4;
inline constexpr std::uint32_t kAudioFormatFlagIsPacked = 0x8;
inline constexpr std::uint32_t kAudioFormatFlagIsNonInterleaved = 0x20;

// A stream described field by field, for sample layouts AudioFormat has no common format for
// (24-bit integers on disk, for one).
struct AudioStreamBasicDescription {
    double mSampleRate = 0;
    std::uint32_t mFormatID = 0;
    std::uint32_t mFormatFlags = 0;
    std::uint32_t mBytesPerPacket = 0;
    std::uint32_t mFramesPerPacket = 0;
    std::uint32_t mBytesPerFrame = 0;
    std::uint32_t mChannelsPerFrame = 0;
    std::uint32_t mBitsPerChannel = 0;
    std::uint32_t mReserved = 0;

    bool operator==(const AudioStreamBasicDescription&) const = default;

    // The settings dictionary that makes a file of this layout (AudioFile::forWriting).
    AudioFormatSettings settings() const {
        return {
            {"AVFormatIDKey", double(mFormatID)},
            {"AVSampleRateKey", mSampleRate},
            {"AVNumberOfChannelsKey", double(mChannelsPerFrame)},
            {"AVLinearPCMBitDepthKey", double(mBitsPerChannel)},
            {"AVLinearPCMIsFloatKey", (mFormatFlags & kAudioFormatFlagIsFloat) ? 1.0 : 0.0},
            {"AVLinearPCMIsNonInterleaved", (mFormatFlags & kAudioFormatFlagIsNonInterleaved) ? 1.0 : 0.0},
            {"AVLinearPCMIsBigEndianKey", (mFormatFlags & kAudioFormatFlagIsBigEndian) ? 1.0 : 0.0},
        };
    }

    std::string description() const {
        const bool isFloat = mFormatFlags & kAudioFormatFlagIsFloat;
        return "<AudioStreamBasicDescription " + describe(mChannelsPerFrame) + " ch, " +
               describe(mSampleRate) + " Hz, " + describe(mBitsPerChannel) +
               (isFloat ? "-bit float" : "-bit integer") + ", flags 0x" + hex(mFormatFlags) + ">";
    }

private:
    static std::string hex(std::uint32_t value) {
        static constexpr char digits[] = "0123456789ABCDEF";
        std::string out;
        do {
            out.insert(out.begin(), digits[value & 0xF]);
            value >>= 4;
        } while (value);
        return out;
    }
};

} // namespace platform
