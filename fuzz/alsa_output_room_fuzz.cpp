// The kernel's report of a raw MIDI device (/proc/asound/cardN/midiD), any text, for any
// substream: no crash, and a figure only where the report shows an open substream whose free room
// fits in its buffer, so a send never writes more than the kernel keeps.
#include "fuzz/FuzzSupport.h"
#include "platform/midi/alsa/AlsaOutputRoom.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

using platform::midi::AlsaOutputRoom;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const int subdevice = data[0] % 34 - 1; // -1 and 32 lie outside any device
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    if (const auto figure = AlsaOutputRoom::parse(text, subdevice)) {
        fuzzsupport::check(figure->bufferSize > 0);
        fuzzsupport::check(figure->avail <= figure->bufferSize);
        fuzzsupport::check(text.find("Output " + std::to_string(subdevice)) != std::string_view::npos);
    }
    return 0;
}
