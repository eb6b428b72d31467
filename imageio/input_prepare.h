// Reading inputs onto the canvas, preview shrinking with cache files, and the
// exposure-shifted copies of auto-bracketing.
#pragma once

#include "imageio/image_list.h"
#include "support/run_context.h"

#include <cstdint>
#include <string>

namespace quovix {

// Fills `destination` with the image in its stored layout: placed at its
// offset inside `target` (row stride target width), or packed when target is
// null. `destination` must be zero-filled by the caller when a target is
// given. `info` is the file's classification (classified here when unknown).
// `readRegion`, when given, receives the region the image was read at (its
// stored size and offset after shrinking; half size for RAW files converted
// with -h).
Status prepareInput(RunContext& run, const std::string& path, ImageInfo info, void* destination,
                    const ImageRegion* target, int stops, float scale, bool useCache,
                    ImageRegion* readRegion = nullptr);

// What prepareInput does for a classified JPEG, TIFF or PNG placed on `target`
// at full size, without a word: no message, no trace line. For reading an
// input ahead of its turn; on failure the caller reads it again with
// prepareInput, which reports what went wrong. `destination` zero-filled.
Status readOntoCanvasSilently(WorkerPool& pool, const std::string& path, const ImageInfo& info, void* destination,
                              const ImageRegion& target);

// The converter is trusted to write RGB of the expected depth (8, or 16 under
// -4 and -6) at the size it reported (half of it under -h); anything else
// would overrun the buffer or be misread, so the header is checked (quietly,
// without the file trace) before the pixels are read. Gives the converted
// file's classification.
Status checkConvertedRaw(Console& console, const std::string& scratch, const ImageRegion& expected, bool halfSize,
                         int expectedBits, ImageInfo& converted);

// width, height, x, y each multiplied by factor (single precision) and rounded
// by adding (subtracting) 0.49999999 and truncating.
void scaleRegion(ImageRegion& region, float factor);

// Nearest-neighbour reduction in place; "resizeImage Error!" for an enlargement.
Status shrinkImage(void* buffer, int bytesPerPixel, int srcWidth, int srcHeight, int dstWidth, int dstHeight);

// Writes an exposure-shifted TIFF copy of srcPath (classified as `info`, or
// here when unknown) to dstPath. In a preview run (scale below 1) the copy is
// a cache file: a copy already at dstPath (or a numbered variant of it) made
// from the same file with the same settings is reused, and the name used is
// given back in `writtenPath`.
Status adjustExposure(RunContext& run, const std::string& srcPath, ImageInfo info, const std::string& dstPath,
                      float stops, float scale, std::string* writtenPath = nullptr);

// Exposure shift table over 0..maxValue: trunc(((i/m)^gamma * 2^stops)^(1/gamma) * m),
// clamped to 0..m (i/m and 1/gamma in single precision, 2^stops rounded to single).
void buildExposureTable(uint16_t* table, int maxValue, float stops, float gamma);

// A stored layout whose name (bytes per pixel) matches its sample depth:
// 1, 3, 4 with 8 bits; 2, 6, 8 with 16 bits. Anything else would be misread
// (8-bit grey + alpha looks like 16-bit grey).
bool layoutMatches(int bytesPerPixel, int bitsPerSample);

} // namespace quovix
