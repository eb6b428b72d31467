// What every stage of a run shares: its settings, its console, its scratch
// folders and its worker threads. One per run; nothing here is global, so two
// runs in one process never see each other.
#pragma once

#include "support/console.h"
#include "support/scratch_files.h"
#include "support/settings.h"
#include "support/worker_pool.h"

#include <string>
#include <vector>

namespace quovix {

struct RunContext {
    explicit RunContext(const Options& options);
    RunContext(const RunContext&) = delete;
    RunContext& operator=(const RunContext&) = delete;

    RunSettings settings;
    Console console;
    ScratchFolders scratch;
    WorkerPool pool;

    // What the output carries of the first input (unless noMetadata): its
    // colour profile, and the file its camera metadata is copied from. A RAW
    // first input's profile comes with its first conversion.
    std::vector<unsigned char> outputProfile;
    std::string metadataSource;
    bool profileFromConversion = false;
};

// The worker count a run uses: the option when it is 1..8 (values above 8
// count as 8), otherwise the environment's.
int32_t resolveWorkerCount(int32_t requested);

} // namespace quovix
