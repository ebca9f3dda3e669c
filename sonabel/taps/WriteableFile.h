#pragma once
#include "platform/audio/AudioFile.h"
#include "platform/audio/AudioStreamBasicDescription.h"
#include "platform/audio/AudioTime.h"
#include "platform/audio/PCMBuffer.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sonabel {

// The file of one recorded input channel for one take: opened when recording starts, fed one mono
// buffer per tap buffer, with the input's latency dropped at the very start of the take.
// Opening and closing on the caller's thread are kept apart from writes on the tap thread.
class WriteableFile {
public:
    WriteableFile(std::string url, platform::AudioStreamBasicDescription fileFormat, std::int32_t channel,
                  std::uint32_t ioLatency);

    std::string description() const;
    const std::string& url() const { return url_; }
    const platform::AudioStreamBasicDescription& fileFormat() const { return fileFormat_; }
    std::int32_t channel() const { return channel_; }
    std::shared_ptr<platform::AudioFile> file() const;
    float amplitude() const;
    double duration() const;
    std::vector<float> amplitudeArray() const;
    std::optional<platform::AudioTime> timestamp() const;
    std::uint32_t ioLatency() const { return ioLatency_; }
    std::uint32_t totalFramesRead() const;
    std::int64_t totalFramesWritten() const;
    bool ioLatencyHandled() const;

    // Opens the file for writing; a failure is logged and leaves the file closed.
    void createFile();
    // Writes the buffer when `write` is true, then measures its level. Raises platform::AudioError.
    void handle(const platform::PCMBuffer& buffer, const platform::AudioTime& time, bool write);
    // Latency-compensated write of one mono buffer; nothing while closed. Raises platform::AudioError.
    void writeFile(const platform::PCMBuffer& buffer, const platform::AudioTime& time);
    void close();

private:
    void writeLocked(const platform::PCMBuffer& buffer, const platform::AudioTime& time);
    void setTotalFramesWritten(std::int64_t frames);

    const std::string url_;
    const platform::AudioStreamBasicDescription fileFormat_;
    const std::int32_t channel_;
    const std::uint32_t ioLatency_;
    mutable std::mutex mutex_;
    std::shared_ptr<platform::AudioFile> file_;
    float amplitude_ = 0;
    double duration_ = 0;
    std::vector<float> amplitudeArray_;
    std::optional<platform::AudioTime> timestamp_;
    std::uint32_t totalFramesRead_ = 0;
    std::int64_t totalFramesWritten_ = 0;
    bool ioLatencyHandled_ = false;
};

} // namespace sonabel
