#include "sonabel/midi/SysExAssembler.h"

#include "sonabel/internals/error_handling/Log.h"

#include <algorithm>
#include <string>

namespace sonabel {

void SysExAssembler::startReceivingSysEx(std::span<const MIDIByte> bytes) {
    Log({"startReceivingSysEx(with:)", OSLog::midi}, "Starting to receive SysEx");
    isReceivingSysEx_ = true;
    incomingSysEx_.assign(bytes.begin(), bytes.end());
}

void SysExAssembler::stopReceivingSysEx() {
    Log({"stopReceivingSysEx()", OSLog::midi}, "Done receiving SysEx");
    isReceivingSysEx_ = false;
}

std::optional<std::size_t> SysExAssembler::startSysEx(std::span<const MIDIByte> bytes,
                                                      MIDITimeStamp timeStamp) {
    startReceivingSysEx({});
    return collect(bytes, timeStamp);
}

std::optional<std::size_t> SysExAssembler::continueSysEx(std::span<const MIDIByte> bytes,
                                                         MIDITimeStamp timeStamp) {
    if (!isReceivingSysEx_) return std::nullopt;
    return collect(bytes, timeStamp);
}

bool SysExAssembler::abandonIfStale(MIDITimeStamp timeStamp) {
    // Stamps that go back (a sender's own schedule) never count as a gap.
    if (!isReceivingSysEx_ || timeStamp <= lastTimeStamp_ || timeStamp - lastTimeStamp_ <= kAbandonAfter)
        return false;
    Log({"abandonIfStale(_:)", OSLog::midi, OSLogType::error},
        "Dropped an unfinished SysEx of " + std::to_string(incomingSysEx_.size()) +
            " bytes: more than 1 s passed without its F7");
    reset();
    return true;
}

void SysExAssembler::reset() {
    isReceivingSysEx_ = false;
    incomingSysEx_.clear();
}

std::optional<std::size_t> SysExAssembler::collect(std::span<const MIDIByte> bytes, MIDITimeStamp timeStamp) {
    lastTimeStamp_ = timeStamp;
    const auto end = std::find(bytes.begin(), bytes.end(), MIDIByte{0xF7});
    if (end == bytes.end()) {
        incomingSysEx_.insert(incomingSysEx_.end(), bytes.begin(), bytes.end());
        return std::nullopt;
    }
    const auto taken = static_cast<std::size_t>(end - bytes.begin()) + 1;
    incomingSysEx_.insert(incomingSysEx_.end(), bytes.begin(),
                          bytes.begin() + static_cast<std::ptrdiff_t>(taken));
    stopReceivingSysEx();
    return taken;
}

} // namespace sonabel
