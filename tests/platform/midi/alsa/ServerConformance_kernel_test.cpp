// The Server contract on the kernel's sequencer.
#include "ServerConformance.h"

INSTANTIATE_TEST_SUITE_P(Backends, ServerConformance, testing::Values(Backend::alsaReal), backendName);
