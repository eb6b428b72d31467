// Times the per-image analysis on a generated 24-megapixel input and splits
// the time between reduce, expand, weight maps and TIFF encoding.
//
// usage: bench_analysis [width height [levels]]   (default 6000 4000, 10 levels)
// The input and the scratch files go to a private folder under $TMPDIR.

#include "analysis/analyse_images.h"
#include "analysis/exposure_curve.h"
#include "analysis/pyramid.h"
#include "analysis/weight_maps.h"
#include "imageio/input_prepare.h"
#include "imageio/tiff_io.h"
#include "support/console.h"
#include "support/memory.h"
#include "support/scratch_files.h"
#include "support/settings.h"

#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

double secondsSince(int64_t startMs) { return static_cast<double>(clockMs() - startMs) / 1000.0; }

// A photograph-like scene: smooth gradients, a few hard edges and mild noise,
// so that the compressors see realistic data rather than flat or random bytes.
void writeScene(const std::string& path, int width, int height)
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
    ImageRegion region{0, 0, width, height};
    writeTiffImage(path, pixels.data(), width, height, 3, 0, &region);
}

struct Split {
    double read = 0, reduce = 0, expand = 0, exposureMap = 0, contrastMap = 0;
    double writeLaplacian = 0, writeWeights = 0, copy = 0;
};

// The analysis loop of one image, step by step, with a timer per kind of work.
Split profileOnce(const std::string& path, int levels)
{
    Split split;
    const int width = gCanvas.width, height = gCanvas.height;
    const size_t pixels = static_cast<size_t>(width) * height;
    PageBuffer<WorkPixel> work(pixels);
    int64_t t = clockMs();
    prepareInput(path, work.get(), &gCanvas, 0, 1.0f, false);
    widenToWork(work.get(), static_cast<int64_t>(pixels), 3);
    split.read = secondsSince(t);
    PageBuffer<WorkPixel> reduced(static_cast<size_t>((width + 1) / 2) * ((height + 1) / 2));
    PageBuffer<uint16_t> weights(pixels);
    int w = width, h = height;
    for (int l = 0; l < levels; ++l) {
        WorkPixel* level = work.get();
        t = clockMs();
        exposureWeightMap(level, w, h, weights.get());
        split.exposureMap += secondsSince(t);
        t = clockMs();
        writeTiffImage(scratchName(path, "e", l), weights.get(), w, h, 2, 0, nullptr);
        split.writeWeights += secondsSince(t);
        if (l < levels - 1) {
            t = clockMs();
            reduceLevel(level, w, h, reduced.get());
            split.reduce += secondsSince(t);
            t = clockMs();
            expandAndMerge(reduced.get(), w, h, level, Subtract);
            split.expand += secondsSince(t);
        }
        t = clockMs();
        writeTiffImage(scratchName(path, "l", l), level, w, h, 8, 1, nullptr);
        split.writeLaplacian += secondsSince(t);
        t = clockMs();
        contrastWeightMap(level, w, h, weights.get());
        split.contrastMap += secondsSince(t);
        t = clockMs();
        writeTiffImage(scratchName(path, "c", l), weights.get(), w, h, 2, 0, nullptr);
        split.writeWeights += secondsSince(t);
        if (l < levels - 1) {
            t = clockMs();
            w = (w + 1) >> 1;
            h = (h + 1) >> 1;
            std::memcpy(level, reduced.get(), static_cast<size_t>(w) * h * sizeof(WorkPixel));
            split.copy += secondsSince(t);
        }
    }
    return split;
}

// Level-0 Laplacian of the scene written under each compression code.
void compareCompression(const std::string& path, int levels)
{
    const int width = gCanvas.width, height = gCanvas.height;
    const size_t pixels = static_cast<size_t>(width) * height;
    PageBuffer<WorkPixel> work(pixels);
    PageBuffer<WorkPixel> reduced(static_cast<size_t>((width + 1) / 2) * ((height + 1) / 2));
    prepareInput(path, work.get(), &gCanvas, 0, 1.0f, false);
    widenToWork(work.get(), static_cast<int64_t>(pixels), 3);
    if (levels > 1) {
        reduceLevel(work.get(), width, height, reduced.get());
        expandAndMerge(reduced.get(), width, height, work.get(), Subtract);
    }
    const int saved = gSettings.tiffCompression;
    const struct { const char* name; int code; } codes[] = {
        {"NONE", 1}, {"LZW", 5}, {"DEFLATE", 32946}, {"PACKBITS", 32773}};
    std::printf("\nLevel-0 Laplacian (%dx%d, 16-bit RGBA) by compression:\n", width, height);
    for (const auto& code : codes) {
        gSettings.tiffCompression = code.code;
        const std::string out = scratchName(path, "bench", code.code);
        int64_t t = clockMs();
        writeTiffImage(out, work.get(), width, height, 8, 1, nullptr);
        const double seconds = secondsSince(t);
        std::error_code ec;
        const auto bytes = std::filesystem::file_size(out, ec);
        std::printf("  %-9s %6.2f s  %8.1f MB\n", code.name, seconds, static_cast<double>(bytes) / 1e6);
        std::remove(out.c_str());
    }
    gSettings.tiffCompression = saved;
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
    resetSettings();
    gSettings.workerCount = workerCountFromEnvironment();
    TIFFSetWarningHandler(nullptr);
    buildCurveTables();

    const std::string input = cacheFolder() + "/bench_scene.tif";
    std::printf("Generating %dx%d input (%.1f MP)...\n", width, height, width * static_cast<double>(height) / 1e6);
    writeScene(input, width, height);
    gCanvas = ImageRegion{0, 0, width, height};

    ImageList list = createImageList(1);
    appendImage(list, input, TypeInput, ScaleFull);

    std::printf("analyseImages, %d levels, %d workers:\n", levels, gSettings.workerCount);
    int64_t start = clockMs();
    analyseImages(list, levels);
    const double total = secondsSince(start);
    std::printf("analyseImages total: %.2f s\n", total);
    removeLevelScratch(list, levels);

    Split s = profileOnce(input, levels);
    const double sum = s.read + s.reduce + s.expand + s.exposureMap + s.contrastMap + s.writeLaplacian +
                       s.writeWeights + s.copy;
    auto line = [sum](const char* name, double v) {
        std::printf("  %-28s %6.2f s  %5.1f %%\n", name, v, 100.0 * v / sum);
    };
    std::printf("\nSplit (default weights: e, l, c files):\n");
    line("read + widen", s.read);
    line("reduce", s.reduce);
    line("expand + subtract", s.expand);
    line("exposure weight map", s.exposureMap);
    line("contrast weight map", s.contrastMap);
    line("write Laplacian (LZW 16-bit)", s.writeLaplacian);
    line("write weight maps (LZW 16)", s.writeWeights);
    line("copy reduced level down", s.copy);
    std::printf("  %-28s %6.2f s\n", "sum", sum);
    removeLevelScratch(list, levels);

    compareCompression(input, levels);

    releaseImageList(list);
    std::remove(input.c_str());
    finishRunFolder(false);
    return 0;
}
