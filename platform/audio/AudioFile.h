#pragma once
#include "platform/audio/AudioFormat.h"
#include "platform/audio/PCMBuffer.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct sf_private_tag;

namespace platform {

// An audio file on disk, read or written in a processing format (float, deinterleaved by default)
// whatever the samples on disk are. Written files carry a header that is kept current after every
// write, so a file is readable even when the writer never closes it. Released files are closed.
// Failures raise AudioError.
class AudioFile {
public:
    using CommonFormat = AudioFormat::CommonFormat;

    static std::shared_ptr<AudioFile>
    forReading(const std::string& path, CommonFormat processingFormat = CommonFormat::pcmFormatFloat32,
               bool interleaved = false);
    // The container comes from the extension: wav, aif/aiff or caf. The settings give rate, channels,
    // bit depth (16, 24 or 32) and whether samples are float.
    static std::shared_ptr<AudioFile>
    forWriting(const std::string& path, const AudioFormatSettings& settings,
               CommonFormat processingFormat = CommonFormat::pcmFormatFloat32, bool interleaved = false);
    ~AudioFile();
    AudioFile(const AudioFile&) = delete;
    AudioFile& operator=(const AudioFile&) = delete;

    const std::string& url() const { return path_; }
    const AudioFormat& fileFormat() const { return fileFormat_; }
    const AudioFormatSettings& fileSettings() const { return fileSettings_; }
    const AudioFormat& processingFormat() const { return processingFormat_; }
    // Frames in the file (for a file being written, the frames written so far).
    std::int64_t length() const;
    std::int64_t framePosition() const;
    // Positions outside 0...length are clamped.
    void setFramePosition(std::int64_t position);
    bool isOpen() const;

    // Reads from the frame position up to the buffer's capacity (or frameCount, the smaller);
    // the buffer's frame length tells how many came. The buffer must be in the processing format.
    void read(PCMBuffer& buffer);
    void read(PCMBuffer& buffer, std::uint32_t frameCount);
    // Appends the buffer's frameLength frames; the buffer must be in the processing format.
    void write(const PCMBuffer& buffer);
    void close();

private:
    AudioFile() = default;
    void readLocked(PCMBuffer& buffer, std::uint32_t frameCount);

    mutable std::mutex mutex_;
    sf_private_tag* file_ = nullptr;
    bool writing_ = false;
    std::string path_;
    AudioFormat fileFormat_;
    AudioFormatSettings fileSettings_;
    bool floatFile_ = false; // samples on disk are float
    AudioFormat processingFormat_;
    std::int64_t length_ = 0;
    std::int64_t position_ = 0;
    std::vector<double> scratchDouble_;
    std::vector<float> scratchFloat_;
    std::vector<int> scratchInt_;
};

} // namespace platform
