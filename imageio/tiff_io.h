// TIFF input and output through libtiff. The TIFF and LZW code (tiff_* and
// lzw_* here) builds on libtiff and support/ alone.
#pragma once

#include "support/image_info.h"
#include "support/run_context.h"

#include <tiffio.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quovix {

// Mode "w": classic TIFF for writing, "W": BigTIFF for writing, "r": reading.
// A failure prints "Couldn't open TIFF file: <path>" and the trace line and
// returns "Cannot open TIFF file for <mode>: <path>" (exit code -1).
Status openTiff(RunContext& run, const std::string& path, const char* mode, TIFF*& tiff);
// Close with the "File|%d|close|%p" trace.
void closeTiff(RunContext& run, TIFF* tiff);
// Opens for reading without the file trace (header checks of foreign files).
TIFF* openTiffQuietly(const std::string& path);
// The same, without error messages either: reads that may fail without a word.
TIFF* openTiffSilently(const std::string& path);

// Width and height from the tags, x and y from position * resolution.
void readTiffRegion(TIFF* tiff, ImageRegion& region);

// Refuses (exit code -1, message naming the file and the reason) what the
// scanline reader would read wrongly: separate planes, tiles, a sample format
// other than unsigned integer, bits other than 8 and 16, samples other than
// 1, 3 and 4, a colour model other than grey or RGB, or dimensions out of range.
Status checkTiffReadable(TIFF* tiff, const std::string& path);

// A scratch file the run wrote must still hold rows of `width` pixels of
// `samples` 16-bit samples in one plane, readable as checked above. A file
// damaged or replaced since is refused (exit code -1, a line naming it and
// what it holds) before any row is read into buffers sized for those rows;
// missing rows are met by the row reader.
Status checkScratchLayout(TIFF* tiff, const std::string& path, int width, int samples);

// One row; "Error reading scanline %d\n" (exit code -1) on failure.
Status readTiffRow(TIFF* tiff, void* row, int rowIndex);

// Reads a whole TIFF in its stored layout into `buffer`, which holds the
// image described by `expected`; a file that no longer matches it is refused.
Status readTiffImage(RunContext& run, const std::string& path, const ImageInfo& expected, void* buffer);
// The same without a word: no message, no file trace, libtiff's errors
// unshown (a read ahead of time, made again in the open when it fails).
Status readTiffImageSilently(WorkerPool& pool, const std::string& path, const ImageInfo& expected, void* buffer);

// Layout of a file to write.
struct TiffLayout {
    TiffLayout() = default;
    TiffLayout(int w, int h, int bpp, const ImageRegion& at) : width(w), height(h), bytesPerPixel(bpp), position(at) {}

    int width = 0;
    int height = 0;
    int bytesPerPixel = 0;     // 1, 2, 3, 4, 6, 8
    ImageRegion position;      // canvas offset written into the position tags
    bool predictorAllowed = true;
    bool scratch = false;      // an internal scratch file: the scratch compression applies
    std::string description;   // ImageDescription tag, when not empty
    const std::vector<unsigned char>* iccProfile = nullptr;  // colour profile tag, when not empty
    const char* software = nullptr;                           // Software tag, when set
};

// Writes the standard tag set of a new file: planar config, rows per strip,
// photometric, bits, samples, extra sample, size, position, compression and
// predictor.
void writeTiffTags(RunContext& run, TIFF* tiff, const TiffLayout& layout);

// Resolution and position tags for the region.
void writeTiffPosition(TIFF* tiff, const ImageRegion& region);

// Sets the colour profile tag (34675) on a file open for writing, before the
// first row; false when libtiff refuses it or it exceeds a tag's size.
bool setTiffIccTag(TIFF* tiff, const std::vector<unsigned char>& profile);

// Fills `rowCount` packed rows of the file, starting at `firstRow`.
using RowFill = std::function<void(int firstRow, int rowCount, uint8_t* out)>;

// Writes a new TIFF (BigTIFF under --bigtiff) whose rows come from `fill`,
// through a row buffer of `rowBufferBytes` (at least one packed row). A row
// that cannot be written prints "Error writing scanline %d\n"; the file is then
// incomplete and an error (exit code -1) is returned.
Status writeTiffRows(RunContext& run, const std::string& path, const TiffLayout& layout, const RowFill& fill,
                     size_t rowBufferBytes = 0);

// A packed buffer of the layout, as it is.
Status writeTiffImage(RunContext& run, const std::string& path, const void* buffer, const TiffLayout& layout);

} // namespace quovix
