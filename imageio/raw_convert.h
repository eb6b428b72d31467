// Camera RAW files through the external converter (run directly, no shell).
#pragma once

#include "imageio/image_list.h"
#include "support/run_context.h"

#include <string>

namespace quovix {

// The converter program: the -x path, else "dcraw" from the search path.
std::string converterName(const RunSettings& settings);
// The program to start for it: the name as given when it holds a slash, else
// the first executable file of that name in the folders of
// settings.searchPath. Empty when the search finds none.
std::string locateConverter(const RunSettings& settings);

// 0 when the converter reported the output size (width and height set), else 1.
int queryRawSize(const RunSettings& settings, const std::string& path, ImageRegion& region);
// Passes the converter's description of the file to the console; 0, or -1
// when the converter could not be started.
int printRawInfo(const RunSettings& settings, Console& console, const std::string& path);
// Converts rawPath into a TIFF at destPath (a new file in the run's scratch
// folder) with brightness 2^stops.
Status convertRaw(RunContext& run, const std::string& rawPath, const std::string& destPath, int stops);

} // namespace quovix
