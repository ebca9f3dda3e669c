#pragma once
// The name under which the instrument stores its current program: 1 to 15 characters, each one
// byte on the wire. Characters are counted as a user sees them, in composed form; one without a
// Latin-1 byte is refused rather than sent as something else, and one whose byte is 80-FF is
// refused as no MIDI cable carries it inside a SysEx.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace malvo {

struct ProgramName {
    static constexpr std::size_t maxCharacters = 15;

    // The alert for a name that cannot be stored; nullopt when it can.
    static std::optional<std::string> refusal(std::string_view utf8Name);
    // Command 11 with the name's sixteen bytes, plain.
    static std::vector<std::uint8_t> message(std::uint8_t deviceModel, std::string_view utf8Name);
};

} // namespace malvo
