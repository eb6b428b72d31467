// Camera RAW files through the external converter (run directly, no shell).
#pragma once

#include "imageio/image_types.h"

#include <string>

// 0 when the converter reported the output size (width and height set), else 1.
int queryRawSize(const std::string& path, ImageRegion& region);
// Copies the converter's description of the file to standard output; 0, or -1
// when the converter could not be started.
int printRawInfo(const std::string& path);
// Converts rawPath into a TIFF at destPath with brightness 2^stops. Never returns on failure.
void convertRaw(const std::string& rawPath, const std::string& destPath, int stops);
