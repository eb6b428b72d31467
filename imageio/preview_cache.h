// Preview cache files: shrunk copies of inputs (and exposure-shifted copies of
// them) that later preview runs reuse. A cache is used only when it was made
// from the same file with the same settings: the source's identity (resolved
// path, size, modification time, inode) and the settings that shape the copy
// are recorded in the cache file's description and compared before use. A
// name held by another source's cache is left alone and a free name is taken.
#pragma once

#include "imageio/tiff_io.h"
#include "support/run_context.h"

#include <string>

namespace quovix {

struct CacheEntry {
    std::string path;        // where the cache is, or is to be written
    std::string identity;    // description the cache file carries
    bool valid = false;      // the file at `path` is a usable cache
};

// The cache of `source` under the name `base` (from the cache naming rule) or
// a numbered variant of it ("..._cache-1.tif"). `kind` names what the copy is
// ("preview", "exposure"); `stops` and, for exposure copies, `gamma` are part
// of its settings.
CacheEntry findCache(RunContext& run, const std::string& base, const std::string& source, float scale, float stops,
                     const char* kind, float gamma = 0.0f);

// Writes a cache file atomically (a temporary file renamed into place), so a
// run at the same time never reads a partial cache.
Status writeCache(RunContext& run, const CacheEntry& entry, const void* buffer, TiffLayout layout);

// The description stored in a TIFF ("" when none or unreadable).
std::string readTiffDescription(const std::string& path);

} // namespace quovix
