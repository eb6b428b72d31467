// PNG input and output through libpng.
#pragma once

#include "imageio/image_list.h"
#include "imageio/metadata_status.h"

#include <functional>
#include <string>
#include <vector>

namespace quovix {

// Size and the stored layout a PNG is read in: grey, RGB or RGBA at 8 or 16
// bits. Palettes expand to RGB, transparency and grey with alpha to RGBA, and
// depths below 8 to 8, so alpha reaches the fusion as a TIFF's alpha does.
// A file libpng refuses, or one too small for the pixels it declares, is
// "Unsupported image file <path>: <reason>" (exit code -1).
Status readPngHeader(const std::string& path, ImageInfo& info);

// Decodes into a buffer sized for `expected`: packed rows, 16-bit samples in
// the machine's byte order. A damaged or changed file is "Error reading PNG
// file <path>: <reason>" (exit code -1).
Status readPng(const std::string& path, const ImageInfo& expected, void* buffer);

// The embedded colour profile (iCCP), exactly as stored once inflated; empty
// when the file carries none.
MetadataStatus readPngIccProfile(const std::string& path, std::vector<unsigned char>& profile);

// What a PNG to write holds: `channels` 1 (grey), 2 (grey + alpha), 3 (RGB)
// or 4 (RGBA), of `bits` 8 or 16.
struct PngLayout {
    int width = 0;
    int height = 0;
    int channels = 3;
    int bits = 8;
    const std::vector<unsigned char>* iccProfile = nullptr;  // written as iCCP when not empty
    const char* software = nullptr;                           // a Software text chunk, when set
};

// Fills one packed row (16-bit samples in the machine's byte order).
using PngRowSource = std::function<Status(int row, unsigned char* out)>;

// Writes a PNG straight to `path`, row by row from `rows`. A colour profile
// libpng finds invalid is left out, with the reason in `note`. Failures are
// "Error writing PNG file <path>: <reason>" (exit code -1); the partial file
// is left to the caller.
Status writePngRows(const std::string& path, const PngLayout& layout, const PngRowSource& rows,
                    std::string* note = nullptr);

// Writes packed rows (`stride` bytes apart; 0 means packed) as a PNG at
// `path`. The file is written under a temporary name beside it and renamed
// into place when complete, so `path` holds the previous file or the whole
// new one.
Status writePng(const std::string& path, const void* pixels, const PngLayout& layout, size_t stride = 0);

} // namespace quovix
