#pragma once
#include "platform/audio/PCMBuffer.h"

#include <cstdint>
#include <memory>

namespace sonabel {

// A new buffer of the same format holding the frames from startSample to the end of the source's
// frame length; null when startSample is not below the length or nothing can be copied.
std::shared_ptr<platform::PCMBuffer> copyFrom(const platform::PCMBuffer& buffer, std::uint32_t startSample);

} // namespace sonabel
