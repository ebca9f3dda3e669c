#pragma once
#include "platform/audio/PCMBuffer.h"

#include <cstdint>

namespace sonabel {

// Copies frameCount frames of the source from startingFrame behind the receiver's frame length,
// for the channels both buffers have, and lengthens the receiver. When the range is outside the
// source or the receiver lacks the room, it logs and changes nothing.
void appendFrames(platform::PCMBuffer& receiver, const platform::PCMBuffer& source,
                  std::int64_t startingFrame, std::uint32_t frameCount);

} // namespace sonabel
