// A source's SysEx, whole or not at all.
#include "platform/midi/SysExCollector.h"

#include <algorithm>

namespace platform::midi {

void SysExCollector::start() {
    bytes_.clear();
    collecting_ = true;
    skipping_ = false;
}

SysExCollector::Result SysExCollector::add(std::span<const std::uint8_t> bytes, std::size_t& taken) {
    const auto f7 = std::find(bytes.begin(), bytes.end(), std::uint8_t{0xF7});
    const bool ends = f7 != bytes.end();
    taken = ends ? static_cast<std::size_t>(f7 - bytes.begin()) + 1 : bytes.size();
    if (skipping_) {
        skipping_ = !ends;
        return Result::pending;
    }
    if (!collecting_) return Result::pending;
    if (taken > kMaxBytes - bytes_.size()) {
        std::vector<std::uint8_t>().swap(bytes_);
        collecting_ = false;
        skipping_ = !ends;
        return Result::tooLong;
    }
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(taken));
    if (!ends) return Result::pending;
    collecting_ = false;
    return Result::whole;
}

std::optional<std::size_t> SysExCollector::drop() {
    skipping_ = false;
    if (!collecting_) return std::nullopt;
    collecting_ = false;
    const std::size_t size = bytes_.size();
    bytes_.clear();
    return size;
}

std::string SysExCollector::droppedText(std::string_view source, std::size_t bytes) {
    return "MIDI input from " + std::string(source) + ": an unfinished SysEx of " + std::to_string(bytes) +
           " bytes is dropped";
}

std::string SysExCollector::tooLongText(std::string_view source) {
    return "MIDI input from " + std::string(source) + ": a SysEx longer than " + std::to_string(kMaxBytes) +
           " bytes is dropped";
}

std::string SysExCollector::strayText(std::string_view source, std::size_t bytes) {
    return "MIDI input from " + std::string(source) + ": " + std::to_string(bytes) +
           " bytes that begin no message are dropped";
}

} // namespace platform::midi
