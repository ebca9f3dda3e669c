// Whole SysEx on every receive path, over the in-process server and the fake sequencer.
#include "SysExConformance.h"

INSTANTIATE_TEST_SUITE_P(ServersAndPaths, SysExConformance,
                         testing::Combine(testing::Values(Backend::inProcess, Backend::alsaFake), allPaths()),
                         name);
