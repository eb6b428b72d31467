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
// BigTIFF header ("II+\0" or "MM\0+"). Never an input, but the program's own
// files (scratch, cache, output) are BigTIFF under --bigtiff.
int isBigTiffFile(const std::string& path);

// Size, canvas offset and stored layout of an input, without reading pixels.
// Ends the run on any failure. A BigTIFF is refused ("Unknown image file
// format") unless it lies in the program's temporary folder (scratch and cache
// files) or acceptBigTiff is set (the output, read back for the JPEG export;
// such a file is never taken for a RAW file, whatever its name).
void queryImageInfo(const std::string& path, ImageRegion& region, int& bytesPerPixel, int& bitsPerSample,
                    bool acceptBigTiff = false);

// Largest image accepted, in pixels: a full-canvas WorkPixel buffer of it
// stays below 2 GiB.
constexpr int64_t kMaxImagePixels = (int64_t{1} << 28) - 1;
