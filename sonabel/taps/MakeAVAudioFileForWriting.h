#pragma once
#include "platform/audio/AudioFile.h"

#include <memory>
#include <string>

namespace sonabel {

// Opens an audio file for writing; raises platform::AudioError, logs nothing.
std::shared_ptr<platform::AudioFile> makeAVAudioFileForWriting(const std::string& url,
                                                               const platform::AudioFormatSettings& settings);

} // namespace sonabel
