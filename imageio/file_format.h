// File-type tests that need nothing but the name or the leading bytes. The
// codecs and the reader dispatch build on these; this file depends on none of
// them.
#pragma once

#include "support/image_info.h"
#include "support/status.h"

#include <string>

namespace quovix {

// True when the path contains one of ".jpg" ".jpeg" ".JPG" ".JPEG" ".tif"
// ".tiff" ".TIF" ".TIFF" ".png" ".PNG" anywhere; false means a camera RAW file.
bool isNamedImageFile(const std::string& path);

// True when the name contains ".jpg", ".jpeg", ".JPG" or ".JPEG" anywhere.
bool hasJpegExtension(const std::string& path);

// True when the name ends in ".png" in any case.
bool hasPngExtension(const std::string& path);

// True when the name's last extension is tif, tiff, jpg, jpeg or png in any
// case.
bool hasImageExtension(const std::string& path);

// True when the name's last component has an extension (a leading dot names
// a hidden file, not an extension).
bool hasExtension(const std::string& path);

// How an input is read. JPEG and PNG are known by their leading bytes,
// whatever the name. A TIFF is read as one under a TIFF, JPEG or PNG name or
// a name without extension; under any other name it goes to the RAW
// converter, since DNG, NEF, CR2, ARW and other camera formats are TIFF
// inside. Content none of these is a camera RAW file (FileFormat::Raw),
// except under an image name, where it stays Unknown. A file that cannot be
// opened or is too short gives detectFormat's error under an image name and
// Raw otherwise (the converter then reports it).
Status classifyInput(const std::string& path, FileFormat& format);

// classifyInput gives Raw.
bool isRawInput(const std::string& path);

// The format named by the first bytes: classic TIFF ("II*\0", "MM\0*"),
// BigTIFF ("II+\0", "MM\0+"), JPEG (FF D8), PNG (its eight-byte
// signature), or Unknown. A file that cannot be
// opened is "Error: Cannot open file: %s\n" (exit 1); one too short for the
// test it needs, "Error: getFirstBytes: Cannot read from file" (exit -1).
Status detectFormat(const std::string& path, FileFormat& format);

} // namespace quovix
