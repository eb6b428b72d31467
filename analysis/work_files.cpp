#include "analysis/work_files.h"

#include "imageio/tiff_io.h"

#include <cstring>

namespace quovix {

namespace {

size_t rowPixels(int width) { return width > 0 ? static_cast<size_t>(width) : 0; }

} // namespace

TiffLayout scratchLayout(int width, int height, int bytesPerPixel, const ImageRegion& canvas)
{
    TiffLayout layout{width, height, bytesPerPixel, canvas};
    layout.scratch = true;
    return layout;
}

Status writeLaplacianFile(RunContext& run, const std::string& path, const WorkPixel* level, int width, int height,
                          const ImageRegion& canvas)
{
    const size_t n = rowPixels(width);
    return writeTiffRows(run, path, scratchLayout(width, height, 8, canvas),
                         [&](int firstRow, int rowCount, uint8_t* out) {
                             uint16_t* samples = reinterpret_cast<uint16_t*>(out);
                             const size_t count = n * static_cast<size_t>(rowCount);
                             std::memcpy(samples, level + static_cast<size_t>(firstRow) * n, count * 8);
                             for (size_t p = 0; p < count; ++p) {
                                 samples[4 * p + 0] = static_cast<uint16_t>(samples[4 * p + 0] + 0x2000);
                                 samples[4 * p + 1] = static_cast<uint16_t>(samples[4 * p + 1] + 0x2000);
                                 samples[4 * p + 2] = static_cast<uint16_t>(samples[4 * p + 2] + 0x2000);
                             }
                         });
}

Status writeWorkFile8(RunContext& run, const std::string& path, const WorkPixel* image, int width, int height,
                      const ImageRegion& canvas, bool scratch, const ResultTags& tags)
{
    const size_t n = rowPixels(width);
    TiffLayout layout{width, height, 4, canvas};
    layout.scratch = scratch;
    layout.iccProfile = tags.iccProfile;
    layout.software = tags.software;
    return writeTiffRows(
        run, path, layout,
        [&](int firstRow, int rowCount, uint8_t* out) {
            const WorkPixel* src = image + static_cast<size_t>(firstRow) * n;
            const size_t count = n * static_cast<size_t>(rowCount);
            for (size_t p = 0; p < count; ++p) {
                const int16_t c[3] = {src[p].c0, src[p].c1, src[p].c2};
                for (int k = 0; k < 3; ++k) {
                    int v = c[k] / 64;
                    out[4 * p + k] = static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
                }
                out[4 * p + 3] = src[p].alpha != 0 ? 255 : 0;
            }
        },
        n * 8);
}

Status writeWorkFile16(RunContext& run, const std::string& path, const WorkPixel* image, int width, int height,
                       const ImageRegion& canvas, bool scratch, const ResultTags& tags)
{
    const size_t n = rowPixels(width);
    TiffLayout layout{width, height, 8, canvas};
    layout.scratch = scratch;
    layout.iccProfile = tags.iccProfile;
    layout.software = tags.software;
    return writeTiffRows(run, path, layout,
                         [&](int firstRow, int rowCount, uint8_t* out) {
                             const WorkPixel* src = image + static_cast<size_t>(firstRow) * n;
                             uint16_t* row = reinterpret_cast<uint16_t*>(out);
                             const size_t count = n * static_cast<size_t>(rowCount);
                             for (size_t p = 0; p < count; ++p) {
                                 row[4 * p + 0] = static_cast<uint16_t>(static_cast<uint16_t>(src[p].c0) << 2);
                                 row[4 * p + 1] = static_cast<uint16_t>(static_cast<uint16_t>(src[p].c1) << 2);
                                 row[4 * p + 2] = static_cast<uint16_t>(static_cast<uint16_t>(src[p].c2) << 2);
                                 row[4 * p + 3] = static_cast<uint16_t>(src[p].alpha);
                             }
                         });
}

Status writeRawLaplacian(RunContext& run, const std::string& path, const WorkPixel* level, int width, int height,
                         const ImageRegion& canvas)
{
    const size_t n = rowPixels(width);
    TiffLayout layout = scratchLayout(width, height, 8, canvas);
    layout.predictorAllowed = false;
    return writeTiffRows(run, path, layout, [&](int firstRow, int rowCount, uint8_t* out) {
        std::memcpy(out, level + static_cast<size_t>(firstRow) * n, n * static_cast<size_t>(rowCount) * 8);
    });
}

void removeLaplacianOffset(WorkPixel* pixels, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        pixels[i].c0 = static_cast<int16_t>(pixels[i].c0 - kLaplacianOffset);
        pixels[i].c1 = static_cast<int16_t>(pixels[i].c1 - kLaplacianOffset);
        pixels[i].c2 = static_cast<int16_t>(pixels[i].c2 - kLaplacianOffset);
    }
}

} // namespace quovix
