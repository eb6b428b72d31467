// Which engine decodes each camera RAW file: dcraw (an external program) or
// LibRaw (in-process). Under dcraw, a file it is missing for or cannot decode
// is decoded by LibRaw, after one line saying so.
#pragma once

#include "imageio/image_list.h"
#include "support/run_context.h"

#include <cstdint>
#include <string>
#include <vector>

namespace quovix {

// Whether the file is decoded by LibRaw in this run.
bool decodedInProcess(const RunContext& run, const std::string& path);

// The output size of a RAW file (the sensor's size: dcraw's -h is applied by
// the caller), choosing the engine for it. A file no engine can read fails
// after a line naming it.
Status queryRawOutputSize(RunContext& run, const std::string& path, ImageRegion& region);

// Decodes a file classified as `info` with LibRaw at brightness 2^stops into
// packed pixels of info's layout; `profile`, when given, receives the output
// colour profile.
Status decodeRawInProcess(RunContext& run, const std::string& path, const ImageInfo& info, int stops,
                          uint8_t* pixels, std::vector<unsigned char>* profile);

// The file's description from the engine the settings choose (see
// describeRawFile).
int describeRaw(const RunSettings& settings, Console& console, const std::string& path);

} // namespace quovix
