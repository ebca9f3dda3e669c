#pragma once
// Collects whole SysEx messages from packets as the server cuts them. This family carries 8-bit
// data inside its SysEx (names, key 150), so inside a message only F7 ends it.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace emulation {

class SysExAssembler {
public:
    explicit SysExAssembler(std::size_t maxLength = 65536) : maxLength_(maxLength) {}

    // The messages (F0 to F7) completed by these bytes; bytes outside a SysEx are dropped, and
    // so is a message longer than maxLength.
    std::vector<std::vector<std::uint8_t>> feed(std::span<const std::uint8_t> bytes);
    void reset();
    bool collecting() const { return collecting_; }

private:
    std::size_t maxLength_;
    std::vector<std::uint8_t> current_;
    bool collecting_ = false;
    bool overflow_ = false;
};

} // namespace emulation
