// The first directory of a classic (32-bit) TIFF read and rebuilt byte by
// byte, for adding camera metadata to a large stripped file without holding
// it in memory: the metadata writer rewrites a skeleton that has the file's
// tags but one-byte strips, and the real strips are then appended to the
// rewritten skeleton. Only files with one directory, strips and no sub-IFDs
// are handled (the program's own outputs); anything else is refused.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quovix {

// Where the strips of a file lie.
struct StripTable {
    std::vector<uint32_t> offsets;
    std::vector<uint32_t> byteCounts;
};

// Writes to `skeleton` a TIFF with the tags of `tiff`'s first directory and a
// one-byte strip in place of each strip, and returns `tiff`'s strip table.
// False, with `reason` set, when `tiff` is not a file of that kind or an I/O
// call fails.
bool writeStripSkeleton(const std::string& tiff, const std::string& skeleton, StripTable& strips,
                        std::string& reason);

// Writes to `output` the (rewritten) skeleton followed by the strips of
// `tiff`, its strip offsets and byte counts set to point at them. The
// skeleton must have as many strips as `strips` describes.
bool appendStrips(const std::string& skeleton, const std::string& tiff, const StripTable& strips,
                  const std::string& output, std::string& reason);

// The strip table of a classic TIFF's first directory; false if it has none
// or is not such a file.
bool readStripTable(const std::string& tiff, StripTable& strips, std::string& reason);

// The count of `tag` in the Exif directory of a classic TIFF's first
// directory: 0 when there is no Exif directory or no such tag there. False,
// with `reason` set, when the file cannot be read as such a TIFF.
bool exifEntryCount(const std::string& tiff, uint16_t tag, uint32_t& count, std::string& reason);

} // namespace quovix
