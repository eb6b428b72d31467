// The run's output file: written under a temporary name beside the output and
// renamed into place only when complete, so the output name shows either the
// previous file or the whole new one, never a partial file.
#pragma once

#include "analysis/fusion_run.h"
#include "analysis/work_pixel.h"

#include <string>

namespace quovix {

// Writes a finished image to `path` in the run's output depth (16-bit RGBA
// when asked for and the output is not a JPEG, else 8-bit RGBA). Present
// pixels of a 16-bit file get alpha 65535.
Status writeFinishedImage(FusionRun& run, const std::string& path, WorkPixel* pixels, int width, int height);

// The run's output in two steps, so that the image buffers can be released
// in between (the camera metadata is added to a finished file, which may
// take memory of the file's size): writeFinishedImage into a temporary file
// beside `path`, then metadata and the rename onto `path`.
Status writeOutputTemp(FusionRun& run, const std::string& path, WorkPixel* pixels, int width, int height,
                       std::string& temp);
Status completeOutputFile(FusionRun& run, const std::string& temp, const std::string& path);

// Moves the result of the only exposure group onto the output name (copied
// beside it first when the scratch folder is on another file system).
// Outputs named as JPEG or PNG (and preview runs) are encoded from the finished TIFF
// into a temporary file and renamed into place, so no TIFF ever stands under
// the output name.
Status installGroupResult(FusionRun& run, const std::string& source, const std::string& target);

// Encodes the finished TIFF `source` as JPEG beside `target` and renames it
// into place only when complete: `target` shows the previous file or the
// whole JPEG, never the TIFF or a half-written JPEG. `source` is left as is.
Status exportAsJpeg(FusionRun& run, const std::string& source, const std::string& target);

// The same for outputs named .png: the finished TIFF's rows (RGBA, 8 or 16
// bits) streamed into a PNG beside `target`, with the colour profile as iCCP,
// renamed into place when complete. The camera metadata (EXIF, XMP) is not
// carried into PNG outputs.
Status exportAsPng(FusionRun& run, const std::string& source, const std::string& target);

} // namespace quovix
