// What every layer knows of an image file before its pixels are read: its
// place on the canvas, its format and its stored layout.
#pragma once

#include <cstdint>

namespace quovix {

// Placement of an image on the common canvas, in pixels.
struct ImageRegion {
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;
};

// Largest image accepted, in pixels: a full-canvas WorkPixel buffer of it
// stays below 2 GiB.
constexpr int64_t kMaxImagePixels = (int64_t{1} << 28) - 1;

// How a file is read: by its leading bytes, or by the converter for camera RAW
// files (any name without a TIFF or JPEG extension).
enum class FileFormat { Unknown, Tiff, BigTiff, Jpeg, Raw, Png };

// What classification found out about a file, once, before any pixel is read.
// Stored layouts are named by bytes per pixel: 1 grey8, 2 grey16, 3 RGB8,
// 4 RGBA8, 6 RGB16, 8 RGBA16.
struct ImageInfo {
    bool known = false;
    FileFormat format = FileFormat::Unknown;
    ImageRegion region;
    int bytesPerPixel = 0;
    int bitsPerSample = 0;
};

} // namespace quovix
