#include "sonabel/taps/WriteableFile.h"

#include "platform/audio/AudioError.h"
#include "platform/audio/dsp/VectorOps.h"
#include "sonabel/internals/error_handling/Log.h"
#include "sonabel/taps/CopyFrom.h"
#include "sonabel/taps/MakeAVAudioFileForWriting.h"

#include <cmath>
#include <limits>

namespace sonabel {

WriteableFile::WriteableFile(std::string url, platform::AudioStreamBasicDescription fileFormat,
                             std::int32_t channel, std::uint32_t ioLatency)
    : url_(std::move(url)), fileFormat_(fileFormat), channel_(channel), ioLatency_(ioLatency) {}

std::string WriteableFile::description() const {
    return "url: " + url_ + ", channel: " + platform::describe(channel_) +
           ", file is open: " + (file() ? "true" : "false");
}

std::shared_ptr<platform::AudioFile> WriteableFile::file() const {
    std::lock_guard lock(mutex_);
    return file_;
}
float WriteableFile::amplitude() const {
    std::lock_guard lock(mutex_);
    return amplitude_;
}
double WriteableFile::duration() const {
    std::lock_guard lock(mutex_);
    return duration_;
}
std::vector<float> WriteableFile::amplitudeArray() const {
    std::lock_guard lock(mutex_);
    return amplitudeArray_;
}
std::optional<platform::AudioTime> WriteableFile::timestamp() const {
    std::lock_guard lock(mutex_);
    return timestamp_;
}
std::uint32_t WriteableFile::totalFramesRead() const {
    std::lock_guard lock(mutex_);
    return totalFramesRead_;
}
std::int64_t WriteableFile::totalFramesWritten() const {
    std::lock_guard lock(mutex_);
    return totalFramesWritten_;
}
bool WriteableFile::ioLatencyHandled() const {
    std::lock_guard lock(mutex_);
    return ioLatencyHandled_;
}

void WriteableFile::setTotalFramesWritten(std::int64_t frames) {
    totalFramesWritten_ = frames;
    duration_ = fileFormat_.mSampleRate > 0 ? double(frames) / fileFormat_.mSampleRate : 0.0;
}

void WriteableFile::createFile() {
    std::lock_guard lock(mutex_);
    if (file_) return;
    timestamp_.reset();
    try {
        file_ = makeAVAudioFileForWriting(url_, fileFormat_.settings());
    } catch (const platform::AudioError& error) {
        Log({"createFile()"}, error.localizedDescription());
    }
}

void WriteableFile::handle(const platform::PCMBuffer& buffer, const platform::AudioTime& time, bool write) {
    if (write) writeFile(buffer, time);
    float level = 0;
    if (float* const* data = buffer.floatChannelData()) {
        const std::uint32_t channels = buffer.format().channelCount();
        const bool interleaved = buffer.format().isInterleaved();
        for (std::uint32_t c = 0; c < channels; ++c)
            level += std::fabs(platform::dsp::rms(interleaved ? data[0] + c : data[c], buffer.stride(),
                                                  buffer.frameLength()));
        if (channels > 0) level /= float(channels);
    }
    std::lock_guard lock(mutex_);
    amplitude_ = level;
}

void WriteableFile::writeFile(const platform::PCMBuffer& buffer, const platform::AudioTime& time) {
    std::lock_guard lock(mutex_);
    writeLocked(buffer, time);
}

void WriteableFile::writeLocked(const platform::PCMBuffer& buffer, const platform::AudioTime& time) {
    if (!file_) return;
    const std::uint32_t length = buffer.frameLength();
    // About a day of frames at 48 kHz fits; past that the count stays at its largest value.
    totalFramesRead_ = length > std::numeric_limits<std::uint32_t>::max() - totalFramesRead_
                           ? std::numeric_limits<std::uint32_t>::max()
                           : totalFramesRead_ + length;
    if (!timestamp_) timestamp_ = time;

    std::shared_ptr<platform::PCMBuffer> partial;
    if (!ioLatencyHandled_ && ioLatency_ > 0) {
        Log({"writeFile(buffer:time:)"}, "Actual buffer size is", length, "totalFramesRead", totalFramesRead_,
            "Attempting to skip", ioLatency_, "frames for latency compensation");
        if (totalFramesRead_ <= ioLatency_) return; // the whole buffer lies inside the latency
        const std::uint32_t latencyOffset = totalFramesRead_ - ioLatency_;
        if (latencyOffset < length) partial = copyFrom(buffer, length - latencyOffset);
        if (partial)
            Log({"writeFile(buffer:time:)"}, "Writing partial buffer", partial->frameLength(),
                "frames, ioLatency is", ioLatency_, "latencyOffset", latencyOffset);
        else
            Log({"writeFile(buffer:time:)"}, "Unexpected buffer size of", length);
        ioLatencyHandled_ = true;
    }
    file_->write(partial ? *partial : buffer);
    amplitudeArray_.push_back(amplitude_);
    setTotalFramesWritten(file_->length());
}

void WriteableFile::close() {
    std::shared_ptr<platform::AudioFile> closing;
    {
        std::lock_guard lock(mutex_);
        Log({"close()"}, "recorded duration is", duration_, "initial timestamp is", timestamp_,
            "totalFramesRead", totalFramesRead_, "file.length",
            file_ ? std::optional<std::int64_t>(file_->length()) : std::optional<std::int64_t>());
        std::swap(closing, file_);
        amplitudeArray_.clear();
    }
    // Releasing the platform file finishes it on disk.
    if (closing) closing->close();
}

} // namespace sonabel
