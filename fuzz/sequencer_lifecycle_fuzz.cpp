// The sequencer server's lifecycle: clients, ports, subscriptions and senders come and go around
// it while events of every kind arrive and our ports send (testing/SequencerLifecycle.h). Traps,
// saying what broke after the steps that led there, where a receiver got what the reference model
// does not allow: a SysEx joined across senders or across a disconnect, a message nobody sent, one
// lost without a log line, a send reported done that a receiver did not get.
#include "testing/SequencerLifecycle.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (alsatest::runSequencerLifecycle({data, size}).empty()) return 0;
    // The same script runs the same way: again, telling each step.
    std::string trace;
    const std::string finding = alsatest::runSequencerLifecycle({data, size}, &trace);
    std::fprintf(stderr, "%ssequencer lifecycle: %s\n", trace.c_str(), finding.c_str());
    __builtin_trap();
}
