// Times the per-image analysis on a generated 24-megapixel input and splits
// the time between reduce, expand, weight maps and TIFF encoding.
//
// usage: bench_analysis [width height [levels]]   (default 6000 4000, 10 levels)
// The input and the scratch files go to a private folder under /tmp.

#include "analysis/analyse_images.h"
#include "analysis/exposure_curve.h"
#include "analysis/fusion_run.h"
#include "analysis/pyramid.h"
#include "analysis/weight_maps.h"
#include "analysis/work_files.h"
#include "bench/bench_run.h"
#include "imageio/input_prepare.h"
#include "imageio/tiff_io.h"
#include "support/console.h"
#include "support/memory.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace quovix;

double secondsSince(int64_t startMs) { return static_cast<double>(clockMs() - startMs) / 1000.0; }

// Prints the final text of a failed step; the benchmark then stops.
bool failed(const Status& status)
{
    if (status.ok())
        return false;
    std::printf("%s\n", status.consoleText().c_str());
    return true;
}

// A photograph-like scene: smooth gradients, a few hard edges and mild noise,
// so that the compressors see realistic data rather than flat or random bytes.
Status writeScene(FusionRun& run, const std::string& path, int width, int height)
{
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 3);
    uint32_t noise = 12345;
    for (int r = 0; r < height; ++r) {
        for (int c = 0; c < width; ++c) {
            noise = noise * 1664525u + 1013904223u;
            const int jitter = static_cast<int>((noise >> 28) & 7) - 3;
            const bool block = ((r / 500) + (c / 700)) % 2 == 0;
            int red = (c * 200) / width + (block ? 40 : 0) + jitter;
            int green = (r * 180) / height + 30 + jitter;
            int blue = ((r + c) * 120) / (width + height) + (block ? 0 : 60) + jitter;
            uint8_t* p = &pixels[(static_cast<size_t>(r) * width + c) * 3];
            p[0] = static_cast<uint8_t>(std::clamp(red, 0, 255));
            p[1] = static_cast<uint8_t>(std::clamp(green, 0, 255));
            p[2] = static_cast<uint8_t>(std::clamp(blue, 0, 255));
        }
    }
    return writeTiffImage(run, path, pixels.data(), TiffLayout{width, height, 3, ImageRegion{0, 0, width, height}});
}

struct Split {
    double read = 0, reduce = 0, expand = 0, exposureMap = 0, contrastMap = 0;
    double writeLaplacian = 0, writeWeights = 0, copy = 0;
};

// The analysis loop of one image, step by step and in the foreground, with a
// timer per kind of work. analyseImages itself overlaps some of it: level and
// weight files go to a background thread (and their strips are compressed on
// the workers) while the next level is computed, so its total is below the sum.
// Contrast weight files are written only when scratch files are kept; a
// default run computes the contrast weights from the Laplacian rows during the
// combination instead, so the contrast line times that computation over the
// whole level and no "c" file is written.
Status profileOnce(FusionRun& run, const std::string& path, const ImageInfo& info, int levels, Split& split)
{
    const ImageRegion canvas = run.canvas;
    const int width = canvas.width, height = canvas.height;
    const size_t pixels = static_cast<size_t>(width) * height;
    PageBuffer<WorkPixel> work;
    PageBuffer<WorkPixel> reduced;
    PageBuffer<uint16_t> weights;
    QVX_TRY(work.allocate(run.console, pixels));
    QVX_TRY(reduced.allocate(run.console, static_cast<size_t>((width + 1) / 2) * ((height + 1) / 2)));
    QVX_TRY(weights.allocate(run.console, pixels));
    QVX_TRY(run.scratch.ensureRunFolder());
    int64_t t = clockMs();
    QVX_TRY(prepareInput(run, path, info, work.get(), &canvas, 0, 1.0f, false));
    QVX_TRY(widenToWork(work.get(), static_cast<int64_t>(pixels), info.bytesPerPixel));
    split.read = secondsSince(t);
    int w = width, h = height;
    for (int l = 0; l < levels; ++l) {
        WorkPixel* level = work.get();
        t = clockMs();
        exposureWeightMap(run, level, w, h, weights.get());
        split.exposureMap += secondsSince(t);
        t = clockMs();
        QVX_TRY(writeTiffImage(run, run.scratch.scratchName(path, "e", l), weights.get(), scratchLayout(w, h, 2, canvas)));
        split.writeWeights += secondsSince(t);
        if (l < levels - 1) {
            t = clockMs();
            QVX_TRY(reduceLevel(run, level, w, h, reduced.get()));
            split.reduce += secondsSince(t);
            t = clockMs();
            QVX_TRY(expandAndMerge(run, reduced.get(), w, h, level, MergeType::Subtract));
            split.expand += secondsSince(t);
        }
        t = clockMs();
        QVX_TRY(writeLaplacianFile(run, run.scratch.scratchName(path, "l", l), level, w, h, canvas));
        split.writeLaplacian += secondsSince(t);
        t = clockMs();
        contrastWeights(level, static_cast<size_t>(w) * h, run.settings.useYCrCb, weights.get());
        split.contrastMap += secondsSince(t);
        if (l < levels - 1) {
            t = clockMs();
            w = (w + 1) >> 1;
            h = (h + 1) >> 1;
            std::memcpy(level, reduced.get(), static_cast<size_t>(w) * h * sizeof(WorkPixel));
            split.copy += secondsSince(t);
        }
    }
    return Status();
}

// Level-0 Laplacian of the scene written under each compression code. The
// scratch compression is fixed when a run is made, so each code gets its own
// run (same options otherwise) for the write.
Status compareCompression(FusionRun& run, const Options& options, const std::string& path, const ImageInfo& info,
                          int levels)
{
    const ImageRegion canvas = run.canvas;
    const int width = canvas.width, height = canvas.height;
    const size_t pixels = static_cast<size_t>(width) * height;
    PageBuffer<WorkPixel> work;
    PageBuffer<WorkPixel> reduced;
    QVX_TRY(work.allocate(run.console, pixels));
    QVX_TRY(reduced.allocate(run.console, static_cast<size_t>((width + 1) / 2) * ((height + 1) / 2)));
    QVX_TRY(prepareInput(run, path, info, work.get(), &canvas, 0, 1.0f, false));
    QVX_TRY(widenToWork(work.get(), static_cast<int64_t>(pixels), info.bytesPerPixel));
    if (levels > 1) {
        QVX_TRY(reduceLevel(run, work.get(), width, height, reduced.get()));
        QVX_TRY(expandAndMerge(run, reduced.get(), width, height, work.get(), MergeType::Subtract));
    }
    const struct { const char* name; Compression code; } codes[] = {
        {"NONE", Compression::None}, {"LZW", Compression::Lzw}, {"DEFLATE", Compression::Deflate},
        {"PACKBITS", Compression::PackBits}};
    std::printf("\nLevel-0 Laplacian (%dx%d, 16-bit RGBA) by compression:\n", width, height);
    for (const auto& code : codes) {
        Options codeOptions = options;
        codeOptions.scratchCompression = code.code;
        FusionRun codeRun(codeOptions);
        QVX_TRY(codeRun.scratch.ensureRunFolder());
        const std::string out = codeRun.scratch.scratchName(path, "bench", static_cast<int>(code.code));
        int64_t t = clockMs();
        QVX_TRY(writeLaplacianFile(codeRun, out, work.get(), width, height, canvas));
        const double seconds = secondsSince(t);
        std::error_code ec;
        const auto bytes = std::filesystem::file_size(out, ec);
        std::printf("  %-9s %6.2f s  %8.1f MB\n", code.name, seconds, static_cast<double>(bytes) / 1e6);
        std::remove(out.c_str());
    }
    return Status();
}

} // namespace

int main(int argc, char** argv)
{
    const int width = argc > 2 ? std::atoi(argv[1]) : 6000;
    const int height = argc > 2 ? std::atoi(argv[2]) : 4000;
    const int levels = argc > 3 ? std::atoi(argv[3]) : 10;
    if (width < 8 || height < 8 || levels < 1) {
        std::printf("usage: bench_analysis [width height [levels]]\n");
        return 1;
    }
    BenchFolder folder;
    if (!folder.ok())
        return 1;
    // Default settings; the worker count from the environment, as a run has it.
    const Options options = benchOptions(folder, 0);
    FusionRun run(options);
    TIFFSetWarningHandler(nullptr);
    buildCurveTables(run.settings, run.console, run.curves);

    const std::string input = folder.path() + "/bench_scene.tif";
    std::printf("Generating %dx%d input (%.1f MP)...\n", width, height, width * static_cast<double>(height) / 1e6);
    if (failed(writeScene(run, input, width, height)))
        return 1;
    run.canvas = ImageRegion{0, 0, width, height};

    ImageList list;
    createImageList(1, list);
    if (failed(appendImage(list, input, TypeInput, ScaleFull)))
        return 1;

    std::printf("analyseImages, %d levels, %d workers:\n", levels, run.pool.workers());
    int64_t start = clockMs();
    if (failed(analyseImages(run, list, levels)))
        return 1;
    const double total = secondsSince(start);
    std::printf("analyseImages total: %.2f s\n", total);
    removeLevelScratch(run, list, levels);
    const ImageInfo info = list[0].info;

    Split s;
    if (failed(profileOnce(run, input, info, levels, s)))
        return 1;
    const double sum = s.read + s.reduce + s.expand + s.exposureMap + s.contrastMap + s.writeLaplacian +
                       s.writeWeights + s.copy;
    auto line = [sum](const char* name, double v) {
        std::printf("  %-28s %6.2f s  %5.1f %%\n", name, v, 100.0 * v / sum);
    };
    std::printf("\nSplit (default weights: e, l files; contrast weights from the level):\n");
    line("read + widen", s.read);
    line("reduce", s.reduce);
    line("expand + subtract", s.expand);
    line("exposure weight map", s.exposureMap);
    line("contrast weight map", s.contrastMap);
    line("write Laplacian (LZW 16-bit)", s.writeLaplacian);
    line("write weight maps (LZW 16)", s.writeWeights);
    line("copy reduced level down", s.copy);
    std::printf("  %-28s %6.2f s\n", "sum", sum);
    removeLevelScratch(run, list, levels);

    if (failed(compareCompression(run, options, input, info, levels)))
        return 1;

    std::remove(input.c_str());
    run.scratch.finish(false);
    return 0;
}
