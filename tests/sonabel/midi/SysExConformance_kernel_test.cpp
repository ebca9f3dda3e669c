// Whole SysEx on every receive path, through the kernel's sequencer.
#include "SysExConformance.h"

INSTANTIATE_TEST_SUITE_P(ServersAndPaths, SysExConformance,
                         testing::Combine(testing::Values(Backend::alsaReal), allPaths()), name);
