#include "sonabel/internals/utilities/FourCharCode.h"

#include "sonabel/internals/utilities/FatalError.h"

namespace sonabel {

std::uint32_t fourCharCode(std::string_view text) {
    if (text.size() != 4) fatalError("A four-character code needs exactly 4 bytes");
    std::uint32_t code = 0;
    for (char c : text)
        code = code << 8 | std::uint8_t(c);
    return code;
}

} // namespace sonabel
