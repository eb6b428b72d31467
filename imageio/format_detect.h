// Deciding how a file is read (TIFF, JPEG or camera RAW) and its size and layout.
#pragma once

#include "imageio/image_types.h"

#include <string>

// 1 when the path contains one of ".jpg" ".jpeg" ".JPG" ".JPEG" ".tif" ".tiff"
// ".TIF" ".TIFF" anywhere; 0 means a camera RAW file.
int isNamedImageFile(const std::string& path);
// Classic TIFF header ("II*\0" or "MM\0*"). Missing file: exit 1; short file: exit -1.
int isTiffFile(const std::string& path);
// JPEG start-of-image marker FF D8.
int isJpegFile(const std::string& path);

// Size, canvas offset and stored layout of an input, without reading pixels.
// Ends the run on any failure.
void queryImageInfo(const std::string& path, ImageRegion& region, int& bytesPerPixel, int& bitsPerSample);
