// Fusion of one analysed image set into one output file.
#pragma once

#include "imageio/image_types.h"

#include <string>

// Combines and collapses the set level by level, finishes the image and writes
// it. The run's own output (gSettings.outputPath) is written under a temporary
// name beside it and renamed into place when complete. Returns 0, or -1 when
// the file could not be written completely (already reported; the run's output
// name is then left as it was).
int fuseImageSet(const ImageList& images, int levels, float contrastWeight, float exposureWeight,
                 float saturationWeight, int mode, const std::string& outputPath, int applyLevels);

// True when the name contains ".jpg", ".jpeg", ".JPG" or ".JPEG" anywhere.
bool hasJpegExtension(const std::string& path);

// Creates a new empty file beside `path` (same folder, so a rename onto `path`
// is atomic) and returns its name; "" when none can be made (errno set).
std::string reserveTempBeside(const std::string& path);

// fsync of a written file before it is renamed into place.
bool syncFile(const std::string& path);
