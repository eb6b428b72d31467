// The motion detection stage of a run and the masks it leaves for the
// weight maps. Frames are read once at full size, reduced to cell grids kept
// in scratch files, then compared on the grids: each frame against the
// reference where both are usable, and where the reference is clipped or
// crushed against its neighbour in exposure towards the reference, so that a
// chain of agreeing frames stands in for it.
#include "analysis/motion_masks.h"

#include "analysis/analyse_images.h"
#include "imageio/image_reader.h"
#include "imageio/input_prepare.h"
#include "imageio/tiff_io.h"
#include "analysis/work_files.h"
#include "support/memory.h"

#include <algorithm>
#include <cstdio>
#include <numeric>

namespace quovix {

namespace {

struct GridFile {
    int entry = 0;
    std::string path;   // the grid's scratch file
    double mean = 0.0;  // mean luma of the present cells: the exposure order
    FrameNoise noise;
};

ImageInfo gridInfo(int width, int height, int bytesPerPixel)
{
    ImageInfo info;
    info.known = true;
    info.format = FileFormat::Tiff;
    info.region = {0, 0, width, height};
    info.bytesPerPixel = bytesPerPixel;
    info.bitsPerSample = 16;
    return info;
}

// Reads list entry i onto the canvas as working RGB pixels, as analysis reads it.
Status readFrame(FusionRun& run, ImageList& list, int i, WorkPixel* buffer)
{
    const RunSettings& s = run.settings;
    ImageEntry& entry = list[i];
    ImageInfo& info = entry.info;
    if (!info.known)
        QVX_TRY(queryImageInfo(run, entry.path, info));
    if (!layoutMatches(info.bytesPerPixel, info.bitsPerSample))
        return fatalError("Unsupported image layout in " + std::string(entry.shown())).withKind(ErrorKind::Input);
    const bool fromCache = s.scaled && entry.scale == ScaleFull;
    QVX_TRY(prepareInput(run, entry.path, info, buffer, &run.canvas, 0, fromCache ? s.scaleFactor : 1.0f,
                         fromCache));
    const int64_t pixels = static_cast<int64_t>(run.canvas.width) * run.canvas.height;
    return widenToWork(run.pool, buffer, pixels, info.bytesPerPixel);
}

Status readGrid(FusionRun& run, const std::string& path, int width, int height, MotionGrid& grid)
{
    grid.width = width;
    grid.height = height;
    grid.cells.assign(static_cast<size_t>(width) * height, WorkPixel{0, 0, 0, 0});
    return readTiffImage(run, path, gridInfo(width, height, 8), grid.cells.data());
}

Status readKeep(FusionRun& run, const std::string& path, int width, int height, std::vector<uint16_t>& keep)
{
    keep.assign(static_cast<size_t>(width) * height, 0);
    return readTiffImage(run, path, gridInfo(width, height, 2), keep.data());
}

// Canvas-sized keep factors from grid keep factors: bilinear between cell
// centres, in fixed point so that fully kept areas stay exactly 65535.
Status expandKeep(FusionRun& run, const std::vector<uint16_t>& grid, int gw, int gh, int cell, int width, int height,
                  uint16_t* out)
{
    auto axis = [cell](int n, int cells, std::vector<int>& first, std::vector<int>& weight) {
        first.resize(static_cast<size_t>(n));
        weight.resize(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) {
            // Position in cell units, times 256, relative to the first centre.
            const int pos = ((2 * i + 1) * 256) / (2 * cell) - 128;
            int g = pos >= 0 ? pos / 256 : -1;
            int f = pos - g * 256;
            if (g < 0) {
                g = 0;
                f = 0;
            }
            if (g >= cells - 1) {
                g = cells - 1;
                f = 0;
            }
            first[static_cast<size_t>(i)] = g;
            weight[static_cast<size_t>(i)] = f;
        }
    };
    std::vector<int> gx, wx, gy, wy;
    axis(width, gw, gx, wx);
    axis(height, gh, gy, wy);
    return run.pool.forRows(height, [&](int firstRow, int endRow) {
        for (int y = firstRow; y < endRow; ++y) {
            const int y0 = gy[static_cast<size_t>(y)];
            const int y1 = std::min(y0 + 1, gh - 1);
            const int64_t fy = wy[static_cast<size_t>(y)];
            const uint16_t* r0 = grid.data() + static_cast<size_t>(y0) * gw;
            const uint16_t* r1 = grid.data() + static_cast<size_t>(y1) * gw;
            uint16_t* row = out + static_cast<size_t>(y) * width;
            for (int x = 0; x < width; ++x) {
                const int x0 = gx[static_cast<size_t>(x)];
                const int x1 = std::min(x0 + 1, gw - 1);
                const int64_t fx = wx[static_cast<size_t>(x)];
                const int64_t top = r0[x0] * (256 - fx) + r0[x1] * fx;
                const int64_t bottom = r1[x0] * (256 - fx) + r1[x1] * fx;
                row[x] = static_cast<uint16_t>((top * (256 - fy) + bottom * fy + 32768) >> 16);
            }
        }
        return Status();
    });
}

// Keep factors of the next pyramid level: the mean of the 2x2 pixels each
// reduced pixel stands for. The exclusion keeps the object's footprint at
// every scale without spreading into static surroundings, where it would
// change the tones the other frames bring; fully kept areas stay 65535.
Status reduceKeep(FusionRun& run, const uint16_t* in, int width, int height, uint16_t* out)
{
    const int rw = (width + 1) / 2;
    const int rh = (height + 1) / 2;
    return run.pool.forRows(rh, [&](int firstRow, int endRow) {
        for (int y = firstRow; y < endRow; ++y) {
            const uint16_t* r0 = in + static_cast<size_t>(2 * y) * width;
            const uint16_t* r1 = in + static_cast<size_t>(std::min(2 * y + 1, height - 1)) * width;
            for (int x = 0; x < rw; ++x) {
                const int x1 = std::min(2 * x + 1, width - 1);
                const uint32_t sum = uint32_t{r0[2 * x]} + r0[x1] + r1[2 * x] + r1[x1];
                out[static_cast<size_t>(y) * rw + x] = static_cast<uint16_t>(sum / 4);
            }
        }
        return Status();
    });
}

double excludedShare(const std::vector<uint16_t>& keep, const MotionGrid& frame)
{
    double excluded = 0.0;
    int64_t present = 0;
    for (size_t i = 0; i < keep.size(); ++i) {
        if (frame.cells[i].alpha == 0)
            continue;
        excluded += static_cast<double>(65535 - keep[i]) / 65535.0;
        ++present;
    }
    return present > 0 ? excluded / static_cast<double>(present) : 0.0;
}

// Every shot once at full size, kept as its grid file of gw x gh cells.
Status writeMotionGrids(FusionRun& run, int cell, int gw, int gh, std::vector<GridFile>& frames)
{
    ImageList& list = run.images;
    PageBuffer<WorkPixel> image;
    QVX_TRY(image.allocate(run.console, static_cast<size_t>(run.canvas.width) * run.canvas.height));
    MotionGrid grid;
    for (const int entry : inputEntries(list)) {
        GridFile f;
        f.entry = entry;
        QVX_TRY(readFrame(run, list, f.entry, image.get()));
        startMotionGrid(run.canvas.width, run.canvas.height, cell, grid);
        QVX_TRY(run.pool.forRows(gh, [&](int first, int end) {
            fillMotionGrid(image.get(), run.canvas.width, run.canvas.height, cell, first, end, grid);
            return Status();
        }));
        f.mean = meanLuma(grid);
        f.noise = estimateNoise(grid);
        f.path = run.scratch.scratchName(list[f.entry].path, "mg", 0);
        QVX_TRY(writeTiffImage(run, f.path, grid.cells.data(), scratchLayout(gw, gh, 8, run.canvas)));
        frames.push_back(f);
    }
    return Status();
}

// Two chains outward from the reference, darker and brighter, each frame
// after its neighbour towards the reference.
void orderChains(const std::vector<GridFile>& frames, int reference, std::vector<int>& darker,
                 std::vector<int>& brighter)
{
    const GridFile& ref = frames[static_cast<size_t>(reference)];
    for (int i = 0; i < static_cast<int>(frames.size()); ++i) {
        if (i != reference)
            (frames[static_cast<size_t>(i)].mean < ref.mean ? darker : brighter).push_back(i);
    }
    auto distance = [&](int i) { return std::abs(frames[static_cast<size_t>(i)].mean - ref.mean); };
    auto nearer = [&](int a, int b) { return distance(a) != distance(b) ? distance(a) < distance(b) : a < b; };
    std::sort(darker.begin(), darker.end(), nearer);
    std::sort(brighter.begin(), brighter.end(), nearer);
}

// The reference frame's grid and the cells it cannot judge by.
struct ReferenceGrid {
    const GridFile* file = nullptr;
    MotionGrid grid;
    std::vector<uint8_t> unusable;
};

// The motion masks of one chain: each frame compared with the reference and,
// where the reference cannot tell, with its neighbour towards it. A frame
// with moving cells gets a keep file; `share` receives its excluded share.
Status maskChain(FusionRun& run, const std::vector<int>& chain, const std::vector<GridFile>& frames,
                 const ReferenceGrid& ref, int gw, int gh, std::vector<double>& share)
{
    ImageList& list = run.images;
    MotionGrid neighbour;
    FrameNoise neighbourNoise;
    std::vector<uint8_t> neighbourMoving;
    bool first = true;
    for (int i : chain) {
        const GridFile& f = frames[static_cast<size_t>(i)];
        MotionGrid grid;
        QVX_TRY(readGrid(run, f.path, gw, gh, grid));
        std::vector<uint8_t> moving = disagreement(ref.grid, ref.file->noise, grid, f.noise, nullptr);
        if (!first) {
            // Where the reference cannot tell, the neighbour does, where it
            // is not moving itself.
            std::vector<uint8_t> consider(ref.unusable);
            for (size_t k = 0; k < consider.size(); ++k)
                consider[k] = consider[k] != 0 && neighbourMoving[k] == 0;
            const std::vector<uint8_t> more = disagreement(neighbour, neighbourNoise, grid, f.noise, &consider);
            for (size_t k = 0; k < moving.size(); ++k)
                moving[k] = moving[k] | more[k];
        }
        cleanMotion(moving, gw, gh);
        const std::vector<uint16_t> keep = keepFromMotion(moving, gw, gh);
        share[static_cast<size_t>(i)] = excludedShare(keep, grid);
        if (std::any_of(keep.begin(), keep.end(), [](uint16_t k) { return k != UINT16_MAX; })) {
            const std::string name = run.scratch.scratchName(list[f.entry].path, "m", 0);
            QVX_TRY(writeTiffImage(run, name, keep.data(), scratchLayout(gw, gh, 2, run.canvas)));
            run.motion.files[list[f.entry].path] = name;
        }
        neighbour = std::move(grid);
        neighbourNoise = f.noise;
        neighbourMoving = std::move(moving);
        first = false;
    }
    return Status();
}

// Copies of a shot share its mask: they show the same moment.
void shareMasksWithCopies(FusionRun& run)
{
    const ImageList& list = run.images;
    const std::vector<int32_t> inputEntry = inputEntries(list);
    for (const ImageEntry& entry : list) {
        const auto found = run.motion.files.find(list[inputEntry[static_cast<size_t>(entry.input)]].path);
        if (found != run.motion.files.end())
            run.motion.files[entry.path] = found->second;
    }
}

} // namespace

Status detectMotion(FusionRun& run)
{
    const RunSettings& s = run.settings;
    ImageList& list = run.images;
    const std::vector<int32_t> inputEntry = inputEntries(list);
    const int inputs = static_cast<int>(inputEntry.size());
    if (s.deghostReference < 0 || s.deghostReference > inputs)
        return fatalError("Deghosting reference " + std::to_string(s.deghostReference) + " out of range 1.." +
                          std::to_string(inputs));
    if (inputs < 2)
        return Status();
    const int reference = s.deghostReference == 0 ? inputs / 2 : s.deghostReference - 1;
    const int cell = motionCellSize(run.canvas.width, run.canvas.height);
    run.motion.cell = cell;
    const int gw = (run.canvas.width + cell - 1) / cell;
    const int gh = (run.canvas.height + cell - 1) / cell;
    QVX_TRY(run.scratch.ensureRunFolder());

    int64_t start = clockMs();
    std::vector<GridFile> frames;
    QVX_TRY(writeMotionGrids(run, cell, gw, gh, frames));
    if (s.showTiming)
        printElapsed(run.console, "Motion grids", start);
    start = clockMs();

    std::vector<int> darker, brighter;
    orderChains(frames, reference, darker, brighter);
    ReferenceGrid ref;
    ref.file = &frames[static_cast<size_t>(reference)];
    QVX_TRY(readGrid(run, ref.file->path, gw, gh, ref.grid));
    ref.unusable.resize(ref.grid.cells.size());
    for (size_t i = 0; i < ref.grid.cells.size(); ++i)
        ref.unusable[i] = usableCell(ref.grid.cells[i]) ? 0 : 1;
    std::vector<double> share(static_cast<size_t>(inputs), 0.0);
    for (const std::vector<int>* chain : {&darker, &brighter})
        QVX_TRY(maskChain(run, *chain, frames, ref, gw, gh, share));
    if (s.showTiming)
        printElapsed(run.console, "Motion masks", start);
    if (!s.debugKeep) {
        for (const GridFile& f : frames)
            std::remove(f.path.c_str());
    }
    shareMasksWithCopies(run);
    if (s.verbosity >= 1) {
        for (int i = 0; i < inputs; ++i) {
            const char* shown = list[inputEntry[static_cast<size_t>(i)]].shown();
            if (i == reference)
                run.console.print("Deghosting: %s is the reference\n", shown);
            else
                run.console.print("Deghosting: %s: %.1f%% excluded as moving\n", shown,
                                  100.0 * share[static_cast<size_t>(i)]);
        }
    }
    return Status();
}

Status keepPyramid(FusionRun& run, const std::string& path, int levels, std::vector<uint16_t>& keep)
{
    keep.clear();
    const auto found = run.motion.files.find(path);
    if (found == run.motion.files.end() || run.motion.cell <= 0)
        return Status();
    const int cell = run.motion.cell;
    const int width = run.canvas.width;
    const int height = run.canvas.height;
    const int gw = (width + cell - 1) / cell;
    const int gh = (height + cell - 1) / cell;
    std::vector<uint16_t> grid;
    QVX_TRY(readKeep(run, found->second, gw, gh, grid));
    size_t total = 0;
    for (int l = 0; l < levels; ++l)
        total += static_cast<size_t>(levelSize(width, l)) * levelSize(height, l);
    keep.assign(total, 0);
    QVX_TRY(expandKeep(run, grid, gw, gh, cell, width, height, keep.data()));
    size_t offset = 0;
    for (int l = 0; l + 1 < levels; ++l) {
        const int lw = levelSize(width, l);
        const int lh = levelSize(height, l);
        const size_t next = offset + static_cast<size_t>(lw) * lh;
        QVX_TRY(reduceKeep(run, keep.data() + offset, lw, lh, keep.data() + next));
        offset = next;
    }
    return Status();
}

Status mergeGroupMask(FusionRun& run, const ImageList& group, const std::string& resultPath)
{
    if (run.motion.cell <= 0 || group.count() == 0)
        return Status();
    const int cell = run.motion.cell;
    const int gw = (run.canvas.width + cell - 1) / cell;
    const int gh = (run.canvas.height + cell - 1) / cell;
    std::vector<uint16_t> merged, member;
    for (int i = 0; i < group.count(); ++i) {
        const auto found = run.motion.files.find(group[i].path);
        if (found == run.motion.files.end())
            return Status();  // a member keeps everything: so does the result
        QVX_TRY(readKeep(run, found->second, gw, gh, i == 0 ? merged : member));
        if (i > 0) {
            for (size_t k = 0; k < merged.size(); ++k)
                merged[k] = std::max(merged[k], member[k]);
        }
    }
    const std::string name = run.scratch.scratchName(resultPath, "m", 0);
    QVX_TRY(writeTiffImage(run, name, merged.data(), scratchLayout(gw, gh, 2, run.canvas)));
    run.motion.files[resultPath] = name;
    return Status();
}

} // namespace quovix
