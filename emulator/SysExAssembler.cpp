#include "emulator/SysExAssembler.h"

namespace emulation {

std::vector<std::vector<std::uint8_t>> SysExAssembler::feed(std::span<const std::uint8_t> bytes) {
    std::vector<std::vector<std::uint8_t>> messages;
    for (auto byte : bytes) {
        if (!collecting_) {
            if (byte == 0xF0) {
                collecting_ = true;
                overflow_ = false;
                current_.assign(1, byte);
            }
            continue;
        }
        if (!overflow_ && current_.size() < maxLength_) {
            current_.push_back(byte);
        } else {
            overflow_ = true;
            current_.clear();
        }
        if (byte == 0xF7) {
            if (!overflow_) messages.push_back(std::move(current_));
            current_.clear();
            collecting_ = false;
        }
    }
    return messages;
}

void SysExAssembler::reset() {
    current_.clear();
    collecting_ = false;
    overflow_ = false;
}

} // namespace emulation
