#include "fusion/fuse_image_set.h"

#include "analysis/color_space.h"
#include "analysis/noise_reduction.h"
#include "analysis/pyramid.h"
#include "fusion/combine_level.h"
#include "fusion/highlight_constraint.h"
#include "fusion/levels_adjust.h"
#include "imageio/tiff_io.h"
#include "support/console.h"
#include "support/memory.h"
#include "support/scratch_files.h"
#include "support/settings.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

int levelSize(int size, int level)
{
    for (int l = 0; l < level; ++l)
        size = (size + 1) / 2;
    return size;
}

// Debug image of a combined Laplacian level: the signed samples exactly as
// held, so negative detail survives (unlike the 16-bit output writer).
void writeRawLaplacian(const std::string& path, const WorkPixel* level, int width, int height)
{
    TIFF* tiff = openTiff(path, gSettings.bigTiff ? "W" : "w");
    writeTiffTags(tiff, width, height, 8, &gCanvas, false);
    HeapBuffer<WorkPixel> row(static_cast<size_t>(width));
    for (int y = 0; y < height; ++y) {
        std::memcpy(row.get(), level + static_cast<int64_t>(y) * width, static_cast<size_t>(width) * sizeof(WorkPixel));
        if (TIFFWriteScanline(tiff, row.get(), static_cast<uint32_t>(y), 0) == -1) {
            std::printf("Error writing scanline %d\n", y);
            break;
        }
    }
    closeTiff(tiff);
}

void clampSamples(WorkPixel* pixels, int64_t count)
{
    for (int64_t i = 0; i < count; ++i) {
        WorkPixel& p = pixels[i];
        p.c0 = p.c0 < 0 ? 0 : (p.c0 > 16383 ? 16383 : p.c0);
        p.c1 = p.c1 < 0 ? 0 : (p.c1 > 16383 ? 16383 : p.c1);
        p.c2 = p.c2 < 0 ? 0 : (p.c2 > 16383 ? 16383 : p.c2);
    }
}

// Writes the finished image to `path` in the run's output depth. The depth
// follows the run's output name, whichever file this is.
int writeFinished(const std::string& path, WorkPixel* pixels, int width, int height)
{
    if (gSettings.outputBits == 16 && !hasJpegExtension(gSettings.outputPath)) {
        const int64_t count = static_cast<int64_t>(width) * height;
        for (int64_t i = 0; i < count; ++i) {
            if (pixels[i].alpha != 0)
                pixels[i].alpha = static_cast<int16_t>(0xFFFF);
        }
        return writeTiffWork16(path, pixels, width, height);
    }
    return writeTiffWork8(path, pixels, width, height);
}

// The run's output appears under its name only once complete: it is written
// beside it under a temporary name and renamed over it.
int writeOutputFile(const std::string& path, WorkPixel* pixels, int width, int height)
{
    std::string temp = reserveTempBeside(path);
    if (temp.empty()) {
        // Reported like any output file that does not open.
        std::printf("Couldn't open TIFF file: %s", path.c_str());
        traceFileOpen(path.c_str(), gSettings.bigTiff ? "W" : "w", nullptr);
        std::printf("Cannot open TIFF file for %s: %s", gSettings.bigTiff ? "W" : "w", path.c_str());
        endProcess(kExitIoError);
    }
    if (writeFinished(temp, pixels, width, height) != 0) {
        std::remove(temp.c_str());
        std::printf("Error writing output file %s\n", path.c_str());
        return -1;
    }
    if (!syncFile(temp) || std::rename(temp.c_str(), path.c_str()) != 0) {
        int err = errno;
        std::remove(temp.c_str());
        std::printf("Error writing output file %s: %s\n", path.c_str(), std::strerror(err));
        return -1;
    }
    return 0;
}

} // namespace

bool hasJpegExtension(const std::string& path)
{
    static const char* const extensions[] = {".jpg", ".jpeg", ".JPG", ".JPEG"};
    for (const char* ext : extensions) {
        if (path.find(ext) != std::string::npos)
            return true;
    }
    return false;
}

std::string reserveTempBeside(const std::string& path)
{
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (base.size() > 200)
        base.resize(200); // room for the suffix within a file name's limit
    static unsigned serial = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = folder + "." + base + ".part-" + std::to_string(getpid()) + "-" + std::to_string(serial++);
        int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            return name;
        }
        if (errno != EEXIST)
            return std::string();
    }
    return std::string();
}

bool syncFile(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    return ok;
}

int fuseImageSet(const ImageList& images, int levels, float contrastWeight, float exposureWeight,
                 float saturationWeight, int mode, const std::string& outputPath, int applyLevels)
{
    const RunSettings& s = gSettings;
    const int n = images.count();
    std::printf("Fusing %d images:\n", n);
    for (int i = 0; i < n; ++i)
        std::printf("  %s, exposure=%.2f\n", images.paths[i], images.exposure[i] * 0.015625);

    std::printf("Collapsing");
    const int width = gCanvas.width;
    const int height = gCanvas.height;
    PageBuffer<WorkPixel> result(static_cast<size_t>(width) * height);
    PageBuffer<WorkPixel> previous(static_cast<size_t>((width + 1) / 2) * ((height + 1) / 2));

    int finestMode = mode;
    for (int level = levels - 1; level >= 0; --level) {
        std::printf(".");
        const int lw = levelSize(width, level);
        const int lh = levelSize(height, level);
        const bool exposureBlending = mode != Average && levels - level <= s.exposureBlendLevels;
        int effectiveMode = mode;
        if (exposureBlending) {
            if (s.verbosity >= 1)
                std::printf("Exposure blending level: %d", level);
            effectiveMode = Average;
            combineLevel(images, level, 0.0f, 1.0f, 0.0f, Average, result.get());
        } else {
            combineLevel(images, level, contrastWeight, exposureWeight, saturationWeight, mode, result.get());
        }
        if (level == 0)
            finestMode = effectiveMode;

        if (s.debugKeep) {
            writeTiffWork8(scratchName("result_before_exp", "t", level), previous.get(), levelSize(width, level + 1),
                           levelSize(height, level + 1));
            writeRawLaplacian(scratchName("avg_lapl", "l", level), result.get(), lw, lh);
        }
        if (level < levels - 1)
            expandAndMerge(previous.get(), lw, lh, result.get(), Add);
        if (effectiveMode == Maximum)
            constrainHighlights(result.get(), static_cast<int64_t>(lw) * lh);
        if (level != 0)
            std::memcpy(previous.get(), result.get(), static_cast<size_t>(lw) * lh * sizeof(WorkPixel));
        if (s.debugKeep)
            writeTiffWork8(scratchName("result", "t", level), result.get(), lw, lh);
    }

    std::printf("\nFinalizing...\n");
    const int64_t count = static_cast<int64_t>(width) * height;
    if (s.noise.atFinalize && (s.noise.lumaThreshold > 0.0f || s.noise.chromaThreshold > 0.0f))
        reduceNoise(result.get(), width, height);
    if (finestMode == Maximum)
        constrainHighlights(result.get(), count);
    clampSamples(result.get(), count);
    if (s.useYCrCb) {
        std::printf(".");
        yccToRgb(result.get(), width, height);
    }
    if (applyLevels != 0)
        adjustLevels(result.get(), width, height);

    std::printf("Writing %s\n", outputPath.c_str());
    int status = 0;
    if (outputPath == s.outputPath) {
        status = writeOutputFile(outputPath, result.get(), width, height);
    } else if (writeFinished(outputPath, result.get(), width, height) != 0) {
        status = -1; // an intermediate file: reported by the writer, the run goes on
    }
    return status;
}
