// What the metadata reader is given of a source photograph, when the file as
// it is would make it fail or stall: a JPEG's header segments without the
// colour profile (a damaged profile must not cost the camera metadata; the
// profile is judged on its own), and a TIFF whose XMP packet is beyond any
// sane size with that packet emptied (parsing it takes minutes and gigabytes).
#pragma once

#include <cstdint>
#include <string>

namespace quovix {

// XMP packets larger than this are not carried into the output.
constexpr int64_t kMaxXmpBytes = int64_t{1} << 20;

// The JPEG's markers up to the image data, APP2 ICC_PROFILE segments left
// out, closed by EOI: enough for a metadata reader. False when the file is not
// a JPEG or its segments are broken before the image data.
bool jpegHeaderWithoutProfile(const std::string& path, std::string& bytes);

// Bytes of the XMP packet (tag 700) of a classic TIFF's first directory; 0
// when it has none, -1 when the file is not a classic TIFF.
int64_t tiffXmpBytes(const std::string& path);

// The whole TIFF with the count of its first directory's XMP entry set to 0.
// False when the file cannot be read or holds no such entry.
bool tiffWithoutXmp(const std::string& path, std::string& bytes);

} // namespace quovix
