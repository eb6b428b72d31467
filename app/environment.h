// What the command line takes from the environment. The library reads none
// of it: these fill the Options fields a library user sets directly.
#pragma once

#include "quovix/quovix.h"

#include <cstdint>

// Worker count from NUMBER_OF_PROCESSORS (decimal, clamped to 1..8); the
// online processors when unset.
int32_t workerCountFromEnvironment();

// Fills what the command line left open: the worker count
// (NUMBER_OF_PROCESSORS), the temporary folder (TMPDIR), the debug log
// (QVXTRACE, at most 255 characters) and the converter's search path (PATH).
void takeEnvironment(quovix::Options& options);
