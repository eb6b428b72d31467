// TIFF input and output through libtiff.
#pragma once

#include "imageio/image_types.h"

#include <tiffio.h>

#include <string>

// mode "w": classic TIFF for writing, "W": BigTIFF for writing, anything else:
// reading. Never returns on failure (exit code -1).
TIFF* openTiff(const std::string& path, const char* mode);
// Close with the "File|%d|close|%p" trace.
void closeTiff(TIFF* tiff);

// Width and height from the tags, x and y from position * resolution.
void readTiffRegion(TIFF* tiff, ImageRegion& region);

// Ends the run (exit code -1, message naming the file and the reason) when the
// scanline reader would read the open TIFF wrongly: separate planes, tiles,
// a sample format other than unsigned integer, bits other than 8 and 16,
// samples other than 1, 3 and 4, a colour model other than grey or RGB, or
// dimensions out of range.
void checkTiffReadable(TIFF* tiff, const std::string& path);

// Reads a JPEG or TIFF file whole, in its stored layout. Never returns on failure.
int readImage(const std::string& path, void* buffer);

// Resolution and position tags (region null: gCanvas).
void writeTiffPosition(TIFF* tiff, const ImageRegion* region);

// Writes the standard tag set of a new file: planar config, rows per strip,
// photometric, bits, samples, extra sample, size, position, compression and
// predictor. `predictorAllowed` false suppresses the predictor.
void writeTiffTags(TIFF* tiff, int width, int height, int bytesPerPixel,
                   const ImageRegion* region, bool predictorAllowed = true);

// Writes a buffer in any stored layout. offsetMode 1 (layout 8 only) adds 8192
// to the three colour samples, storing signed Laplacian values.
// Returns 0, or -1 when a row could not be written (the file is then incomplete).
int writeTiffImage(const std::string& path, const void* buffer, int width, int height,
                   int bytesPerPixel, int offsetMode, const ImageRegion* region);
// WorkPixel buffer to 8-bit RGBA (sample / 64, clamped; alpha 255 or 0).
int writeTiffWork8(const std::string& path, const WorkPixel* buffer, int width, int height);
// WorkPixel buffer to 16-bit RGBA (samples << 2; alpha as held).
int writeTiffWork16(const std::string& path, const WorkPixel* buffer, int width, int height);
