#include "app/controller/ProgramName.h"

#include "app/protocol/InstrumentMessages.h"
#include "app/protocol/Latin1Text.h"

namespace malvo {

std::optional<std::string> ProgramName::refusal(std::string_view utf8Name) {
    const auto scalars = characterScalars(utf8Name);
    if (scalars.size() > maxCharacters) return "Name must have less than 16 characters!";
    if (scalars.empty()) return "Name can't be empty!";
    return latin1NameRefusal("Name", utf8Name, maxCharacters);
}

std::vector<std::uint8_t> ProgramName::message(std::uint8_t deviceModel, std::string_view utf8Name) {
    return programNameMessage(deviceModel, utf8Name);
}

} // namespace malvo
