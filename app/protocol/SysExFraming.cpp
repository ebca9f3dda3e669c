#include "app/protocol/SysExFraming.h"

namespace malvo {

std::vector<std::uint8_t> frameSysEx(std::span<const std::uint8_t> plainMessage, SysExFraming framing) {
    std::vector<std::uint8_t> out(plainMessage.begin(), plainMessage.end());
    if (framing == SysExFraming::withManufacturerID && !out.empty())
        out.insert(out.begin() + 1, manufacturerID.begin(), manufacturerID.end());
    return out;
}

std::size_t sysExCommandOffset(std::span<const std::uint8_t> message, std::uint8_t deviceModel) {
    // A message must at least reach its command byte, so callers can always read it.
    if (message.size() < 3 || message[0] != 0xF0) return 0;
    if (message[1] != manufacturerID[0]) return message[1] == deviceModel ? 2 : 0;
    if (message.size() < 6) return 0;
    if (message[2] != manufacturerID[1] || message[3] != manufacturerID[2]) return 0;
    return message[4] == deviceModel ? 5 : 0;
}

} // namespace malvo
