// Embedded colour profiles (ICC): read from TIFF, JPEG and PNG inputs, written into
// the output TIFF and its JPEG export, compared between inputs.
#pragma once

#include "imageio/metadata_status.h"

#include <tiffio.h>

#include <string>
#include <vector>

struct jpeg_compress_struct;

namespace quovix {

// The profile bytes exactly as stored; empty when a file carries none.
using IccProfile = std::vector<unsigned char>;

// A JPEG holds at most 255 APP2 chunks of 65519 profile bytes.
constexpr size_t kMaxJpegIccBytes = size_t{255} * 65519;

// Reads the profile of a TIFF (tag 34675, classic or BigTIFF) or a JPEG (APP2
// "ICC_PROFILE" chunks joined in sequence order). A camera RAW file is read
// through the converter's TIFF of it. A file without a profile gives an empty
// profile and success; a profile whose header is not an ICC header, or JPEG
// chunks that do not fit together, give Corrupt and an empty profile.
MetadataStatus readIccProfile(const std::string& path, IccProfile& profile);

// Sets tag 34675 on a TIFF open for writing. Call it with the other tags,
// before the first scanline; an empty profile sets nothing.
MetadataStatus setTiffIccProfile(TIFF* tiff, const IccProfile& profile);

// Writes the profile as numbered APP2 chunks into a JPEG being encoded. Call
// it after jpeg_start_compress and before the first scanline. An empty profile
// writes nothing; one over kMaxJpegIccBytes gives TooLarge and writes nothing.
// libjpeg errors reach the encoder's own error handler.
MetadataStatus writeJpegIccProfile(jpeg_compress_struct* info, const IccProfile& profile);

// Whether another input's profile differs from the first input's: a byte
// compare, so a file without a profile differs from one with a profile, and
// two files without one agree.
bool iccProfilesDiffer(const IccProfile& first, const IccProfile& other);

} // namespace quovix
