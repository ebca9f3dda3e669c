#include "sonabel/internals/utilities/AudioSignal.h"

#include "platform/audio/AudioFile.h"
#include "sonabel/internals/error_handling/Log.h"

#include <limits>

namespace sonabel {

std::optional<AudioSignal> loadAudioSignal(const std::string& audioURL) {
    std::shared_ptr<platform::AudioFile> file;
    try {
        file = platform::AudioFile::forReading(audioURL);
    } catch (const std::exception&) {
        Log({"loadAudioSignal(audioURL:)", OSLogType::error},
            "Error in Load Audio Signal: could not read url into audio file");
        return std::nullopt;
    }
    const auto format =
        platform::AudioFormat::standard(file->fileFormat().sampleRate(), file->fileFormat().channelCount());
    if (!format) return std::nullopt;
    const std::int64_t length = file->length();
    std::shared_ptr<platform::PCMBuffer> buffer;
    if (length >= 0 && length <= std::numeric_limits<std::uint32_t>::max())
        buffer = platform::PCMBuffer::make(*format, static_cast<std::uint32_t>(length));
    if (!buffer) {
        Log({"loadAudioSignal(audioURL:)", OSLogType::error},
            "Error in Load Audio Signal: could not read audio file into buffer");
        return std::nullopt;
    }
    try {
        file->read(*buffer);
    } catch (const std::exception&) {
        Log({"loadAudioSignal(audioURL:)", OSLogType::error},
            "Error in Load Audio Signal: could not read audio file into buffer");
        return std::nullopt;
    }
    const float* first = buffer->floatChannelData()[0];
    return AudioSignal{std::vector<float>(first, first + buffer->frameLength()), format->sampleRate(),
                       length};
}

} // namespace sonabel
