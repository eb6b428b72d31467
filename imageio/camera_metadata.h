// Camera metadata (EXIF, XMP, IPTC) carried from an input photograph to the
// fused output, through Exiv2.
#pragma once

#include "imageio/metadata_status.h"

#include <string>

namespace quovix {

// Copies the camera metadata of `source` (a JPEG, a TIFF or a camera RAW file
// itself, not the converter's TIFF of it) into `target`, a finished classic
// TIFF or JPEG that is not yet in place (the temporary file before its rename).
//
// Taken over: EXIF (camera, lens, exposure, GPS, maker notes, Orientation), XMP
// and IPTC. Left out: everything that describes the source's stored pixels
// (size, layout, strips and tiles, compression, colour model, RAW and DNG
// sensor data, resolution), its thumbnail and preview images, its colour
// profile (the target keeps its own), and raw-converter settings in XMP.
// Set: Exif.Image.Software to "Quovix <version>", and PixelXDimension,
// PixelYDimension (EXIF and XMP) to the target's size where the source has them.
//
// The target's pixel data and colour profile are not changed. The update is
// made on a copy beside the target that replaces it only when complete, so on
// any failure the target is exactly as it was. A source whose metadata Exiv2
// finds damaged gives Corrupt and the target is not touched. A BigTIFF target
// gives Unsupported. A TIFF target is left as it is when the source has none
// of the metadata above (its writer sets Software itself). Never throws and
// never prints.
// Exiv2's handler is replaced only while copies are under way and put back
// after the last one; a host's handler meanwhile still receives every message.
MetadataStatus copyCameraMetadata(const std::string& source, const std::string& target, const std::string& version);

// Exiv2's one-time set-up (its XMP toolkit), which must come before threads
// use it; copyCameraMetadata does it on first use.
void initializeMetadataLibrary();

} // namespace quovix
