#include "fusion/focus_select.h"

#include "analysis/pyramid.h"
#include "analysis/work_files.h"
#include "imageio/tiff_io.h"
#include "imageio/tiff_row_reader.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace quovix {

namespace {

// A scratch file of the run read row by row; closed on every path.
struct ScratchFile {
    RunContext* run = nullptr;
    TIFF* tiff = nullptr;
    std::unique_ptr<TiffRowReader> rows;

    Status open(RunContext& owner, const std::string& name, int width, int samples)
    {
        run = &owner;
        QVX_TRY(openTiff(owner, name, "r", tiff));
        QVX_TRY(checkScratchLayout(tiff, name, width, samples));
        rows = std::make_unique<TiffRowReader>(tiff);
        return Status();
    }
    ~ScratchFile()
    {
        if (tiff != nullptr)
            closeTiff(*run, tiff);
    }
};

// Full weight of a mask sample (14-bit, as the pyramid carries samples).
constexpr int16_t kMaskFull = 16383;

// One row band of the median: a histogram of the window slid along each
// row, the median tracked by the count of values below it.
void medianRows(const uint16_t* in, int width, int height, int radius, int bins, int first, int end,
                int32_t* histogram, uint16_t* out)
{
    const size_t w = static_cast<size_t>(width);
    for (int y = first; y < end; ++y) {
        const int top = std::max(0, y - radius);
        const int bottom = std::min(height - 1, y + radius);
        std::fill(histogram, histogram + bins, 0);
        int count = 0;
        auto column = [&](int x, int step) {
            for (int r = top; r <= bottom; ++r)
                histogram[in[r * w + x]] += step;
            count += step * (bottom - top + 1);
        };
        for (int x = 0; x <= std::min(width - 1, radius); ++x)
            column(x, 1);
        int median = 0;
        int below = 0;
        for (int x = 0; x < width; ++x) {
            if (x > 0) {
                if (x - radius - 1 >= 0) {
                    for (int r = top; r <= bottom; ++r)
                        below -= in[r * w + x - radius - 1] < median;
                    column(x - radius - 1, -1);
                }
                if (x + radius < width) {
                    for (int r = top; r <= bottom; ++r)
                        below += in[r * w + x + radius] < median;
                    column(x + radius, 1);
                }
            }
            const int rank = (count - 1) / 2;
            while (below > rank) {
                --median;
                below -= histogram[median];
            }
            while (below + histogram[median] <= rank) {
                below += histogram[median];
                ++median;
            }
            out[y * w + x] = static_cast<uint16_t>(median);
        }
    }
}

// A level of masks as 16-bit weights.
Status writeMaskLevel(FusionRun& run, const std::string& path, const WorkPixel* mask, int width, int height)
{
    const size_t n = static_cast<size_t>(width);
    return writeTiffRows(run, path, scratchLayout(width, height, 2, run.canvas),
                         [&](int firstRow, int rowCount, uint8_t* out) {
                             uint16_t* samples = reinterpret_cast<uint16_t*>(out);
                             const WorkPixel* source = mask + static_cast<size_t>(firstRow) * n;
                             const size_t count = n * static_cast<size_t>(rowCount);
                             for (size_t p = 0; p < count; ++p)
                                 samples[p] = static_cast<uint16_t>(source[p].c0 * 4);
                         });
}

} // namespace

Status medianFilter(RunContext& run, const uint16_t* in, int width, int height, int radius, int bins, uint16_t* out)
{
    if (width <= 0 || height <= 0)
        return Status();
    return run.pool.forRows(height, [&](int first, int end) -> Status {
        HeapBuffer<int32_t> histogram;
        QVX_TRY(histogram.allocate(run.console, static_cast<size_t>(std::max(bins, 1)) + 1, true));
        medianRows(in, width, height, radius, bins, first, end, histogram.get(), out);
        return Status();
    });
}

Status chooseSharpestFrames(FusionRun& run, const ImageList& images, PageBuffer<uint16_t>& chosen)
{
    const int width = run.canvas.width;
    const int height = run.canvas.height;
    const size_t w = static_cast<size_t>(width);
    const size_t pixels = w * static_cast<size_t>(height);
    const int n = images.count();

    std::vector<ScratchFile> files(static_cast<size_t>(n));
    for (int k = 0; k < n; ++k) {
        const std::string name = run.levelFiles.path(images[k].path, LevelKind::Focus, 0);
        QVX_TRY(files[static_cast<size_t>(k)].open(run, name, width, 1));
    }

    PageBuffer<uint16_t> first;
    QVX_TRY(first.allocate(run.console, pixels));
    HeapBuffer<uint16_t> row, best;
    QVX_TRY(row.allocate(run.console, w));
    QVX_TRY(best.allocate(run.console, w));
    for (int y = 0; y < height; ++y) {
        if (y % 64 == 0)
            QVX_TRY(run.checkCancel());
        uint16_t* index = first.get() + y * w;
        std::fill(index, index + w, uint16_t{0});
        std::fill(best.get(), best.get() + w, uint16_t{0});
        for (int k = 0; k < n; ++k) {
            QVX_TRY(files[static_cast<size_t>(k)].rows->readRow(row.get(), y));
            const uint16_t* f = row.get();
            uint16_t* b = best.get();
            for (size_t x = 0; x < w; ++x) {
                if (f[x] > b[x]) {
                    b[x] = f[x];
                    index[x] = static_cast<uint16_t>(k);
                }
            }
        }
    }
    files.clear();
    row.reset();
    best.reset();

    QVX_TRY(chosen.allocate(run.console, pixels));
    return medianFilter(run, first.get(), width, height, kSelectionMedianRadius, n, chosen.get());
}

Status clampToFrames(FusionRun& run, const ImageList& images, WorkPixel* result)
{
    const int width = run.canvas.width;
    const int height = run.canvas.height;
    const size_t w = static_cast<size_t>(width);
    const int n = images.count();
    std::vector<ScratchFile> files(static_cast<size_t>(n));
    for (int k = 0; k < n; ++k) {
        const std::string name = run.levelFiles.path(images[k].path, LevelKind::Samples, 0);
        QVX_TRY(files[static_cast<size_t>(k)].open(run, name, width, 4));
    }
    HeapBuffer<WorkPixel> row, low, high;
    QVX_TRY(row.allocate(run.console, w));
    QVX_TRY(low.allocate(run.console, w));
    QVX_TRY(high.allocate(run.console, w));
    for (int y = 0; y < height; ++y) {
        if (y % 64 == 0)
            QVX_TRY(run.checkCancel());
        WorkPixel* lo = low.get();
        WorkPixel* hi = high.get();
        std::fill(lo, lo + w, WorkPixel{16383, 16383, 16383, 0});
        std::fill(hi, hi + w, WorkPixel{0, 0, 0, 0});
        for (int k = 0; k < n; ++k) {
            QVX_TRY(files[static_cast<size_t>(k)].rows->readRow(row.get(), y));
            const WorkPixel* v = row.get();
            for (size_t x = 0; x < w; ++x) {
                if (v[x].alpha == 0)
                    continue;
                lo[x] = WorkPixel{std::min(lo[x].c0, v[x].c0), std::min(lo[x].c1, v[x].c1),
                                  std::min(lo[x].c2, v[x].c2), kAlphaPresent};
                hi[x] = WorkPixel{std::max(hi[x].c0, v[x].c0), std::max(hi[x].c1, v[x].c1),
                                  std::max(hi[x].c2, v[x].c2), kAlphaPresent};
            }
        }
        WorkPixel* out = result + y * w;
        for (size_t x = 0; x < w; ++x) {
            if (lo[x].alpha == 0)
                continue;
            out[x].c0 = std::clamp(out[x].c0, lo[x].c0, hi[x].c0);
            out[x].c1 = std::clamp(out[x].c1, lo[x].c1, hi[x].c1);
            out[x].c2 = std::clamp(out[x].c2, lo[x].c2, hi[x].c2);
        }
    }
    return Status();
}

Status writeSelectionWeights(FusionRun& run, const ImageList& images, int levels, const uint16_t* chosen)
{
    const int width = run.canvas.width;
    const int height = run.canvas.height;
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    PageBuffer<WorkPixel> mask;
    PageBuffer<WorkPixel> reduced;
    QVX_TRY(mask.allocate(run.console, pixels));
    QVX_TRY(reduced.allocate(run.console, static_cast<size_t>((width + 1) / 2) * ((height + 1) / 2)));
    for (int k = 0; k < images.count(); ++k) {
        QVX_TRY(run.checkCancel());
        const uint16_t frame = static_cast<uint16_t>(k);
        WorkPixel* m = mask.get();
        QVX_TRY(run.pool.forRange(pixels, size_t{1} << 16, [&](size_t begin, size_t end) {
            for (size_t p = begin; p < end; ++p)
                m[p] = WorkPixel{chosen[p] == frame ? kMaskFull : int16_t{0}, 0, 0, kAlphaPresent};
        }));
        int w = width;
        int h = height;
        for (int level = 0; level < levels; ++level) {
            QVX_TRY(writeMaskLevel(run, run.levelFiles.path(images[k].path, LevelKind::Selection, level), m, w, h));
            if (level == levels - 1)
                break;
            QVX_TRY(reduceLevel(run, m, w, h, reduced.get()));
            w = (w + 1) / 2;
            h = (h + 1) / 2;
            std::memcpy(m, reduced.get(), static_cast<size_t>(w) * h * sizeof(WorkPixel));
        }
    }
    return Status();
}

} // namespace quovix
