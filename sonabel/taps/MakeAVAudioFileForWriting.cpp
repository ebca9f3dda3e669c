#include "sonabel/taps/MakeAVAudioFileForWriting.h"

namespace sonabel {

std::shared_ptr<platform::AudioFile>
makeAVAudioFileForWriting(const std::string& url, const platform::AudioFormatSettings& settings) {
    return platform::AudioFile::forWriting(url, settings);
}

} // namespace sonabel
