// Names of the intermediate files. Names are derived, never stored: a source
// path, a tag and a number rebuild the name of a file another stage wrote.
//
// Files live in a private folder: "<temp root>/quovix-<uid>" (0700, owned by
// the user) holds the preview cache files, which outlive a run, and every run
// makes its own folder inside it (mkdtemp) for its scratch files, so runs at
// the same time never share a scratch name and a planted link is never followed.
#pragma once

#include "support/console.h"
#include "support/status.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace quovix {

// Byte count of the path plus the sum of its bytes taken as signed 8-bit values,
// reported as a signed 32-bit number.
int32_t pathChecksum(const std::string& path);

// The part after the last '\' or '/', whichever comes later; else the whole path.
std::string baseName(const std::string& path);

// The folders and names of one run.
class ScratchFolders {
public:
    // An empty root means TMPDIR, else /tmp.
    ScratchFolders(Console& console, const std::string& tempRoot);
    ~ScratchFolders();
    ScratchFolders(const ScratchFolders&) = delete;
    ScratchFolders& operator=(const ScratchFolders&) = delete;

    // The private folder (created and checked on first use; a folder that is
    // not a private directory of the user is refused).
    Status ensureCacheFolder();
    // This run's scratch folder inside it (made on first use, recording this
    // process as its owner). Run folders of processes that died without
    // cleaning up are removed first.
    Status ensureRunFolder();

    // Removes the run folders in the private folder whose owning process (on
    // this host) is gone; returns how many. Kept folders have no owner.
    int removeAbandonedRunFolders();

    // "<run folder>/<base without extension><number, at least 2 digits>_<tag>_<checksum>.tif"
    // (a second source path with the same base and checksum gets "<checksum>-1",
    // and so on, for the rest of the run, so the two never share files).
    // The run folder must have been ensured.
    std::string scratchName(const std::string& sourcePath, const std::string& tag, int number);

    // "<cache folder>/<base with last '.' as '_'>_<checksum>_<scale*10000>_<stops*10000>_cache.tif"
    // (same rule as scratchName for a second path with equal base and checksum).
    // The cache folder must have been ensured.
    std::string cacheName(const std::string& sourcePath, float scale, float stops);

    // True when the path names a file inside the private folder (scratch and
    // cache files, which are BigTIFF under --bigtiff). Creates nothing.
    bool isInTempFolder(const std::string& path) const;

    const std::string& runFolder() const { return runFolder_; }
    const std::string& cacheFolder() const { return cacheFolder_; }

    // Ends the run folder: kept when asked and not empty (returns its path),
    // otherwise removed with everything in it (returns "").
    std::string finish(bool keepFiles);

private:
    std::string checksumText(char rule, const std::string& stem, const std::string& sourcePath);
    std::string privateFolderPath() const;

    Console& console_;
    std::string root_;
    std::string cacheFolder_;
    std::string runFolder_;
    // Source paths that share a name stem and a checksum (folders "d1" and
    // "1d") would share their files; keyed by naming rule, checksum and stem.
    std::map<std::string, std::vector<std::string>> checksumOwners_;
};

} // namespace quovix
