#pragma once
#include "platform/audio/PCMBuffer.h"
#include "platform/core/Sleeper.h"

#include <memory>

namespace sonabel {

// Plays the buffer once through a temporary engine and returns when its frames have been played
// (frame length divided by sample rate); blocks the calling thread meanwhile.
void audition(const std::shared_ptr<platform::PCMBuffer>& buffer,
              platform::Sleeper& sleeper = platform::Sleeper::system());

} // namespace sonabel
