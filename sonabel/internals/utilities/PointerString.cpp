#include "sonabel/internals/utilities/PointerString.h"

#include <cstdint>
#include <cstdio>

namespace sonabel {

std::string pointerString(const void* object) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%016llx",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(object)));
    return buf;
}

} // namespace sonabel
