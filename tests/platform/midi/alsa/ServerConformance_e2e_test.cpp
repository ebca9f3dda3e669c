// The Server contract on the in-process server and on the sequencer server over a fake sequencer.
#include "ServerConformance.h"

INSTANTIATE_TEST_SUITE_P(Backends, ServerConformance, testing::Values(Backend::inProcess, Backend::alsaFake),
                         backendName);
