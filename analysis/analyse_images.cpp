#include "analysis/analyse_images.h"

#include "analysis/color_space.h"
#include "analysis/pyramid.h"
#include "analysis/weight_maps.h"
#include "imageio/format_detect.h"
#include "imageio/input_prepare.h"
#include "imageio/tiff_io.h"
#include "support/console.h"
#include "support/memory.h"
#include "support/scratch_files.h"
#include "support/settings.h"

#include <cstdio>
#include <cstring>

namespace {

[[noreturn]] void unsupportedLayout(int bytesPerPixel)
{
    std::printf("Unsupported bit depth conversion request: in=%d, out=%d\n", bytesPerPixel, 8);
    fatalError("Unsupported image type\n", kExitFatal);
}

// A layout is named by its bytes per pixel alone; a file whose sample depth
// does not match that name (8-bit grey + alpha looks like 16-bit grey, 16-bit
// grey + alpha like 8-bit RGBA) would be misread, so it is refused up front,
// as is any layout too wide for the WorkPixel buffer it is read into.
bool layoutMatches(int bytesPerPixel, int bitsPerSample)
{
    switch (bytesPerPixel) {
    case 1: case 3: case 4: return bitsPerSample == 8;
    case 2: case 6: case 8: return bitsPerSample == 16;
    default: return false;
    }
}

} // namespace

int analysisLevel(int width, int height, int levels)
{
    int w = width;
    int h = height;
    for (int j = 0; j < levels - 1; ++j) {
        const unsigned smaller = static_cast<unsigned>(w < h ? w : h);
        if (smaller <= 50u)
            return j;
        w = (w + 1) >> 1;
        h = (h + 1) >> 1;
    }
    return levels - 1;
}

void widenToWork(void* buffer, int64_t count, int bytesPerPixel)
{
    // Walks backward: WorkPixel p lies at or after stored pixel p and ends before
    // stored pixel p + 1 is overwritten only once p + 1 is done.
    uint8_t* bytes = static_cast<uint8_t*>(buffer);
    uint16_t* out = static_cast<uint16_t*>(buffer);
    const uint16_t* words = static_cast<const uint16_t*>(buffer);
    switch (bytesPerPixel) {
    case 1:
        for (int64_t p = count - 1; p >= 0; --p) {
            const uint16_t v = static_cast<uint16_t>(bytes[p] << 6);
            uint16_t* w = out + p * 4;
            w[0] = v; w[1] = v; w[2] = v; w[3] = kAlphaPresent;
        }
        break;
    case 2:
        for (int64_t p = count - 1; p >= 0; --p) {
            const uint16_t v = static_cast<uint16_t>(words[p] >> 2);
            uint16_t* w = out + p * 4;
            w[0] = v; w[1] = v; w[2] = v; w[3] = kAlphaPresent;
        }
        break;
    case 3:
        for (int64_t p = count - 1; p >= 0; --p) {
            const uint8_t* s = bytes + p * 3;
            const uint16_t r = static_cast<uint16_t>(s[0] << 6);
            const uint16_t g = static_cast<uint16_t>(s[1] << 6);
            const uint16_t b = static_cast<uint16_t>(s[2] << 6);
            uint16_t* w = out + p * 4;
            w[0] = r; w[1] = g; w[2] = b; w[3] = kAlphaPresent;
        }
        break;
    case 4:
        for (int64_t p = count - 1; p >= 0; --p) {
            const uint8_t* s = bytes + p * 4;
            const uint16_t r = static_cast<uint16_t>(s[0] << 6);
            const uint16_t g = static_cast<uint16_t>(s[1] << 6);
            const uint16_t b = static_cast<uint16_t>(s[2] << 6);
            const uint16_t a = s[3] != 0 ? kAlphaPresent : 0;
            uint16_t* w = out + p * 4;
            w[0] = r; w[1] = g; w[2] = b; w[3] = a;
        }
        break;
    case 6:
        for (int64_t p = count - 1; p >= 0; --p) {
            const uint16_t* s = words + p * 3;
            const uint16_t r = static_cast<uint16_t>(s[0] >> 2);
            const uint16_t g = static_cast<uint16_t>(s[1] >> 2);
            const uint16_t b = static_cast<uint16_t>(s[2] >> 2);
            uint16_t* w = out + p * 4;
            w[0] = r; w[1] = g; w[2] = b; w[3] = kAlphaPresent;
        }
        break;
    case 8:
        for (int64_t p = 0; p < count * 4; p += 4) {
            out[p] = static_cast<uint16_t>(out[p] >> 2);
            out[p + 1] = static_cast<uint16_t>(out[p + 1] >> 2);
            out[p + 2] = static_cast<uint16_t>(out[p + 2] >> 2);
        }
        break;
    default:
        unsupportedLayout(bytesPerPixel);
    }
}

int analyseImages(ImageList& list, int levels)
{
    const int n = levels < 1 ? 1 : levels;
    const int canvasWidth = gCanvas.width;
    const int canvasHeight = gCanvas.height;
    const size_t canvasPixels = static_cast<size_t>(canvasWidth) * static_cast<size_t>(canvasHeight);
    const size_t halfPixels = static_cast<size_t>((canvasWidth + 1) / 2) * static_cast<size_t>((canvasHeight + 1) / 2);
    const IterationParams& it1 = gSettings.iteration1;
    const IterationParams& it2 = gSettings.iteration2;
    const bool noExposure = it1.exposureWeight == 0.0f && it2.exposureWeight == 0.0f;
    const bool wantSaturation = !(it1.saturationWeight == 0.0f && it2.saturationWeight == 0.0f);
    const bool wantContrast = !(it1.contrastWeight == 0.0f && it2.contrastWeight == 0.0f);
    const bool timing = gSettings.showTiming;

    for (int i = 0; i <= list.last; ++i) {
        const std::string path = list.paths[i];

        ImageRegion region;
        int bytesPerPixel = 0;
        int bitsPerSample = 0;
        queryImageInfo(path, region, bytesPerPixel, bitsPerSample);

        std::printf("[%d/%d] Analyzing %s", i + 1, list.last + 1, path.c_str());
        if (!layoutMatches(bytesPerPixel, bitsPerSample))
            unsupportedLayout(bytesPerPixel);

        PageBuffer<WorkPixel> work(canvasPixels);
        const bool fromCache = gSettings.scaled && list.scale[i] == ScaleFull;
        int64_t start = clockMs();
        prepareInput(path, work.get(), &gCanvas, 0, fromCache ? gSettings.scaleFactor : 1.0f, fromCache);
        if (timing)
            printElapsed("Read image", start);

        widenToWork(work.get(), static_cast<int64_t>(canvasPixels), bytesPerPixel);
        if (gSettings.useYCrCb) {
            std::printf(".");
            rgbToYcc(work.get(), canvasWidth, canvasHeight);
        }

        PageBuffer<WorkPixel> reduced(halfPixels);
        PageBuffer<uint16_t> weights(canvasPixels);
        const int exposureLevel = analysisLevel(canvasWidth, canvasHeight, n);

        int width = canvasWidth;
        int height = canvasHeight;
        for (int l = 0; l < n; ++l) {
            WorkPixel* level = work.get();
            std::printf(".");
            if (gSettings.debugKeep)
                writeTiffWork8(scratchName(path, "g", l), level, width, height);
            if (l == exposureLevel)
                list.exposure[i] = measureExposure(level, width, height);
            if (!(noExposure && n - l > gSettings.exposureBlendLevels)) {
                exposureWeightMap(level, width, height, weights.get());
                writeTiffImage(scratchName(path, "e", l), weights.get(), width, height, 2, 0, nullptr);
            }
            if (wantSaturation) {
                saturationWeightMap(level, width, height, weights.get());
                writeTiffImage(scratchName(path, "s", l), weights.get(), width, height, 2, 0, nullptr);
            }
            if (l < n - 1) {
                start = clockMs();
                reduceLevel(level, width, height, reduced.get());
                if (timing)
                    printElapsed("reduce", start);
                start = clockMs();
                expandAndMerge(reduced.get(), width, height, level, Subtract);
                if (timing)
                    printElapsed("expand", start);
            }
            start = clockMs();
            writeTiffImage(scratchName(path, "l", l), level, width, height, 8, 1, nullptr);
            if (timing)
                printElapsed("write laplacian", start);
            start = clockMs();
            if (wantContrast) {
                contrastWeightMap(level, width, height, weights.get());
                writeTiffImage(scratchName(path, "c", l), weights.get(), width, height, 2, 0, nullptr);
            }
            if (timing)
                printElapsed("create/write weights", start);
            if (l < n - 1) {
                width = (width + 1) >> 1;
                height = (height + 1) >> 1;
                std::memcpy(level, reduced.get(),
                            static_cast<size_t>(width) * static_cast<size_t>(height) * sizeof(WorkPixel));
            }
        }

        weights.reset();
        reduced.reset();
        work.reset();

        if (gSettings.verbosity >= 1)
            std::printf("(exposure=%.2f)", list.exposure[i] * 0.015625);
        std::printf("\n");
    }
    return 0;
}
