#pragma once
// Reassembles a SysEx message that arrives split over several packets of one input. Each input
// (port, virtual destination, instrument) owns one, so that pieces from different sources never
// mix. Not thread-safe: it belongs to the thread that delivers its input.
//
// A message whose F7 never comes (its sender switched off mid-message, an overrun that lost the
// F7) would take every later packet of the input; so a packet stamped more than kAbandonAfter
// after the message's last packet finds it abandoned.
#include "platform/core/HostClock.h"
#include "platform/midi/MIDITypes.h"
#include "sonabel/midi/MIDIByte.h"

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace sonabel {

class SysExAssembler {
public:
    static constexpr MIDITimeStamp kAbandonAfter = platform::HostClock::ticksPerSecond;

    bool isReceivingSysEx() const { return isReceivingSysEx_; }
    // The bytes collected so far; after the end arrived, the whole message until the next start.
    const std::vector<MIDIByte>& incomingSysEx() const { return incomingSysEx_; }

    // Logs "Starting to receive SysEx" and collects anew from these bytes.
    void startReceivingSysEx(std::span<const MIDIByte> bytes);
    // Logs "Done receiving SysEx"; the collected bytes stay.
    void stopReceivingSysEx();

    // Bytes that begin with F0 start a new message (a pending one is dropped). The bytes are taken
    // up to and including the first F7. Returns how many were taken when that F7 ended the message
    // (it is then whole in incomingSysEx()), none when all were taken and more must follow.
    // timeStamp: the packet's.
    std::optional<std::size_t> startSysEx(std::span<const MIDIByte> bytes, MIDITimeStamp timeStamp);
    // Continues a pending message in the same way; without one, takes nothing and returns none.
    std::optional<std::size_t> continueSysEx(std::span<const MIDIByte> bytes, MIDITimeStamp timeStamp);
    // Drops a pending message, with a log line, when a packet stamped timeStamp comes more than
    // kAbandonAfter after its last one; true when it did.
    bool abandonIfStale(MIDITimeStamp timeStamp);

    // Drops a pending message without a word, e.g. when its source vanished.
    void reset();

private:
    // Appends up to and including the first F7; the count taken when it was found.
    std::optional<std::size_t> collect(std::span<const MIDIByte> bytes, MIDITimeStamp timeStamp);

    bool isReceivingSysEx_ = false;
    std::vector<MIDIByte> incomingSysEx_;
    MIDITimeStamp lastTimeStamp_ = 0;
};

} // namespace sonabel
