#pragma once
// What came from the instrument while a request waited for its reply, other than the replies the
// app reads. Through the kernel's sequencer a reply holding a byte 80-FF is cut there: its rest
// arrives as pitch bends and the like, and saying so beats a bare time-out. Counted on the MIDI
// thread, read on the waiting one.
#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace malvo {

class ArrivalTally {
public:
    // Before a request is sent: what came earlier does not count.
    void restart();
    // A channel message by its status byte, or F0 for a SysEx the app does not read; other
    // system messages are not counted.
    void count(std::uint8_t status);
    // "<missing>, but 1 note on and 3 pitch bends did", or "<missing>, nor anything else".
    std::string inPlaceOf(std::string_view missing) const;

private:
    mutable std::mutex mutex_;
    // Indexed by the status's high nibble less 8: note off to pitch bend, then SysEx.
    std::array<std::size_t, 8> counts_{};
};

} // namespace malvo
