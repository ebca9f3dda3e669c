// The audio engine's lifecycle over the fake device (testing/lifecycle/EngineLifecycle.h): an input is
// a sequence of operations, and a broken rule of the reference model ends the run with its account.
#include "testing/lifecycle/EngineLifecycle.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (const auto broken = lifecycle::runEngineLifecycle(data, size)) {
        std::fprintf(stderr, "engine lifecycle: %s\n", broken->c_str());
        std::abort();
    }
    return 0;
}
