// What the metadata library is given of a file, when the file as it is would
// make it fail or stall: a JPEG's header segments without the colour profile
// (a damaged profile must not cost the camera metadata; the profile is judged
// on its own), a JPEG output without its profile (the library's limit for
// profiles is lower than a JPEG's, so the profile's chunks are taken out
// before its write and put back after), and a TIFF whose XMP packet is beyond
// any sane size with that packet emptied (parsing it takes minutes and
// gigabytes).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quovix {

// XMP packets larger than this are not carried into the output.
constexpr int64_t kMaxXmpBytes = int64_t{1} << 20;

// One marker segment of a JPEG header: where it starts (its 0xFF), where its
// payload starts (after the length) and where it ends.
struct JpegSegment {
    int marker;
    size_t at;
    size_t payload;
    size_t end;
};

// The marker segments of `jpeg` before its image data, and where that data
// starts (the scan's marker). False when it is not a JPEG or a segment is
// broken or cut short before the image data.
bool jpegHeaderSegments(const std::string& jpeg, std::vector<JpegSegment>& segments, size_t& imageData);

// `jpeg` without its APP2 ICC_PROFILE segments (`rest`) and those segments as
// stored, in their order (`profile`). False as for jpegHeaderSegments.
bool splitJpegProfile(const std::string& jpeg, std::string& rest, std::string& profile);

// Puts the segments of splitJpegProfile back after the leading APP0 and APP1
// segments (JFIF, EXIF, XMP), where writers put a profile. False as above.
bool insertJpegProfile(std::string& jpeg, const std::string& profile);

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
