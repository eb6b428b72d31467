// The process's limit on open files, measured against what a run keeps open.
#pragma once

#include "support/status.h"

#include <cstdint>
#include <string>

namespace quovix {

// Makes room for `needed` open files at once. When the soft limit on open
// files (RLIMIT_NOFILE) is lower, it is raised to the hard limit, for the
// whole process. When the hard limit is lower too, nothing is changed and the
// failure (exit code -1) is one line saying how many files the run needs,
// the limits and which one to raise. `what` says what needs them.
Status ensureOpenFileLimit(uint64_t needed, const std::string& what);

} // namespace quovix
