#pragma once
// The free room of a raw MIDI output substream's buffer, as the kernel reports it while the
// substream is open: /proc/asound/cardN/midiD, "Avail" under "Output S". What a sequencer event
// toward a device's port does not fit there, the kernel drops without a word; what fits is kept.
#include "platform/midi/alsa/AlsaSequencer.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace platform::midi {

class AlsaOutputRoom {
public:
    // A file's whole text, or none when it cannot be read.
    using FileReader = std::function<std::optional<std::string>(const std::string& path)>;
    struct Figure {
        std::size_t bufferSize = 0;
        std::size_t avail = 0;
        bool operator==(const Figure&) const = default;
    };

    // An empty reader reads the files themselves.
    explicit AlsaOutputRoom(FileReader reader = {});

    static std::string path(const AlsaSequencer::RawMidi& rawMidi);
    // None when the file is missing, the substream is closed or the device is not a MIDI 1.0 one.
    std::optional<Figure> read(const AlsaSequencer::RawMidi& rawMidi) const;
    static std::optional<Figure> parse(std::string_view text, int subdevice);

private:
    FileReader reader_;
};

} // namespace platform::midi
