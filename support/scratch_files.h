// Names of the intermediate files. Names are derived, never stored: a source
// path, a tag and a number rebuild the name of a file another stage wrote.
//
// Files live in a private folder: "$TMPDIR/quovix-<uid>" (0700, owned by the
// user) holds the preview cache files, which outlive a run, and every run makes
// its own folder inside it (mkdtemp) for its scratch files, so runs at the same
// time never share a scratch name and a planted link is never followed.
#pragma once

#include <cstdint>
#include <string>

// Byte count of the path plus the sum of its bytes taken as signed 8-bit values,
// reported as a signed 32-bit number.
int32_t pathChecksum(const std::string& path);

// The part after the last '\' or '/', whichever comes later; else the whole path.
std::string baseName(const std::string& path);

// "<run folder>/<base without extension><number, at least 2 digits>_<tag>_<checksum>.tif"
// (a second source path with the same base and checksum gets "<checksum>-1",
// and so on, for the rest of the run, so the two never share files)
std::string scratchName(const std::string& sourcePath, const std::string& tag, int number);

// "<cache folder>/<base with last '.' as '_'>_<checksum>_<scale*10000>_<stops*10000>_cache.tif"
// (same rule as scratchName for a second path with equal base and checksum)
std::string cacheName(const std::string& sourcePath, float scale, float stops);

// Quovix's own temporary folder (created and checked on first use; a folder
// that is not a private directory of the user ends the run with exit code 1).
const std::string& cacheFolder();

// True when the path names a file inside Quovix's temporary folder (scratch
// and cache files, which are BigTIFF under --bigtiff). Creates nothing.
bool isInTempFolder(const std::string& path);

// This run's private scratch folder (made on first use).
const std::string& runFolder();

// Called once at the end of the process: removes the run folder when it is
// empty or when nothing is to be kept; otherwise prints where the files are.
void finishRunFolder(bool keepFiles);

// Forgets the folders (tests point TMPDIR elsewhere between cases).
void resetScratchFolders();
