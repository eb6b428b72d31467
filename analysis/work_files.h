// Working-pixel buffers as TIFF files: Laplacian levels (signed detail stored
// as value + 8192), 8- and 16-bit RGBA images, and raw signed debug levels.
// Every file carries the canvas offset.
#pragma once

#include "analysis/work_pixel.h"
#include "imageio/image_list.h"
#include "imageio/tiff_io.h"
#include "support/run_context.h"

#include <cstddef>
#include <string>

namespace quovix {

// The layout of an internal scratch file (the scratch compression applies).
TiffLayout scratchLayout(int width, int height, int bytesPerPixel, const ImageRegion& canvas);

// Laplacian levels and debug images are scratch files; 8- and 16-bit images
// are scratch files when `scratch` is set (debug images), else results.
Status writeLaplacianFile(RunContext& run, const std::string& path, const WorkPixel* level, int width, int height,
                          const ImageRegion& canvas);
// Samples / 64 clamped to 0..255; alpha 255 where present.
// What a result file carries besides its pixels: the colour profile and the
// Software tag (none for scratch files).
struct ResultTags {
    const std::vector<unsigned char>* iccProfile = nullptr;
    const char* software = nullptr;
};

Status writeWorkFile8(RunContext& run, const std::string& path, const WorkPixel* image, int width, int height,
                      const ImageRegion& canvas, bool scratch = false, const ResultTags& tags = ResultTags());
// Samples << 2; alpha as held.
Status writeWorkFile16(RunContext& run, const std::string& path, const WorkPixel* image, int width, int height,
                       const ImageRegion& canvas, bool scratch = false, const ResultTags& tags = ResultTags());
// The signed samples exactly as held, so negative detail survives.
Status writeRawLaplacian(RunContext& run, const std::string& path, const WorkPixel* level, int width, int height,
                         const ImageRegion& canvas);

// Undoes the Laplacian file offset of the colour samples.
void removeLaplacianOffset(WorkPixel* pixels, size_t count);

} // namespace quovix
