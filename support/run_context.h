// What every stage of a run shares: its settings, its console, its scratch
// folders and its worker threads. One per run; nothing here is global, so two
// runs in one process never see each other.
#pragma once

#include "support/console.h"
#include "support/progress.h"
#include "support/scratch_files.h"
#include "support/settings.h"
#include "support/worker_pool.h"

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace quovix {

// A set of file names shared by the run's workers.
class FileSet {
public:
    void add(const std::string& path)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        paths_.insert(path);
    }
    bool contains(const std::string& path) const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return paths_.count(path) != 0;
    }

private:
    mutable std::mutex mutex_;
    std::set<std::string> paths_;
};

struct RunContext {
    explicit RunContext(const Options& options);
    RunContext(const RunContext&) = delete;
    RunContext& operator=(const RunContext&) = delete;

    RunSettings settings;
    Console console;
    Progress progress;
    ScratchFolders scratch;
    WorkerPool pool;

    // What the output carries of the first input (unless noMetadata): its
    // colour profile, and the file its camera metadata is copied from. A RAW
    // first input's profile comes with its first conversion.
    std::vector<unsigned char> outputProfile;
    std::string metadataSource;
    bool profileFromConversion = false;

    // Camera RAW files that dcraw is missing for or cannot decode: found when
    // the inputs are classified, decoded by LibRaw from then on.
    FileSet rawFallbacks;

    // The caller's stop request (Options::cancel; may be null).
    const std::atomic<bool>* cancel = nullptr;
    bool cancelled() const { return cancel != nullptr && cancel->load(std::memory_order_relaxed); }
    // interrupted() once the stop is requested, for the checks between steps.
    Status checkCancel() const { return cancelled() ? interrupted() : Status(); }
};

// The worker count a run uses: the option when it is 1..8 (values above 8
// count as 8), otherwise the environment's.
int32_t resolveWorkerCount(int32_t requested);

} // namespace quovix
