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
    const std::string finding = alsatest::runSequencerLifecycle({data, size});
    if (finding.empty()) return 0;
    // Again, telling each step.
    std::string trace;
    const std::string again = alsatest::runSequencerLifecycle({data, size}, &trace);
    std::fprintf(stderr, "%ssequencer lifecycle: %s%s%s\n", trace.c_str(), finding.c_str(),
                 again == finding ? "" : "; again: ", again == finding ? "" : again.c_str());
    __builtin_trap();
}
