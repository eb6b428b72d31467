// One entry for every image file: classification (format, size, offset,
// stored layout) once, before any pixel is read, then reading by that record.
#pragma once

#include "imageio/image_list.h"
#include "support/run_context.h"

#include <string>

namespace quovix {

// Classifies a file. Names without a TIFF or JPEG extension are camera RAW
// files, sized by the converter. A BigTIFF is refused ("Unknown image file
// format") unless it lies in the run's private folder (scratch and cache
// files) or acceptBigTiff is set (the run's own output, read back for the JPEG
// export; such a file is never taken for a RAW file, whatever its name).
Status queryImageInfo(RunContext& run, const std::string& path, ImageInfo& info, bool acceptBigTiff = false);

// Reads a classified JPEG or TIFF whole, in its stored layout, into a buffer
// sized for `info`.
Status readImage(RunContext& run, const std::string& path, const ImageInfo& info, void* buffer);

} // namespace quovix
