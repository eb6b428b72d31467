// Reading inputs onto the canvas, preview shrinking with cache files, and the
// exposure-shifted copies of auto-bracketing.
#pragma once

#include "imageio/image_types.h"

#include <string>

// Fills destination with the image in its stored layout: placed at its offset
// inside `target` (row stride target width), or packed when target is null.
// `destination` must be zero-filled by the caller when a target is given.
void prepareInput(const std::string& path, void* destination, const ImageRegion* target,
                  int stops, float scale, bool useCache);

// width, height, x, y each multiplied by factor (single precision) and rounded
// by adding (subtracting) 0.49999999 and truncating.
void scaleRegion(ImageRegion& region, float factor);

// Nearest-neighbour reduction in place.
void shrinkImage(void* buffer, int bytesPerPixel, int srcWidth, int srcHeight, int dstWidth, int dstHeight);

// Writes an exposure-shifted TIFF copy of srcPath to dstPath.
void adjustExposure(const std::string& srcPath, const std::string& dstPath, float stops, float scale);

// prepareInput, returning the region the image was read at (its stored size and
// offset after shrinking; half size for RAW files converted with -h).
ImageRegion prepareInputRegion(const std::string& path, void* destination, const ImageRegion* target,
                               int stops, float scale, bool useCache);

// Exposure shift table over 0..maxValue: trunc(((i/m)^gamma * 2^stops)^(1/gamma) * m),
// clamped to 0..m (i/m and 1/gamma in single precision, 2^stops rounded to single).
void buildExposureTable(uint16_t* table, int maxValue, float stops, float gamma);
