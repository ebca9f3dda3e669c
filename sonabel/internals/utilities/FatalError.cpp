#include "sonabel/internals/utilities/FatalError.h"

#include <cstdio>
#include <cstdlib>

namespace sonabel {

void fatalError(std::string_view message) {
    std::fprintf(stderr, "Fatal error: %.*s\n", int(message.size()), message.data());
    std::fflush(stderr);
    std::abort();
}

} // namespace sonabel
