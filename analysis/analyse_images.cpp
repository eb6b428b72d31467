#include "analysis/analyse_images.h"

#include "analysis/color_space.h"
#include "analysis/focus_measure.h"
#include "analysis/input_read_ahead.h"
#include "analysis/motion_masks.h"
#include "analysis/pyramid.h"
#include "analysis/weight_maps.h"
#include "analysis/work_files.h"
#include "imageio/image_reader.h"
#include "imageio/input_prepare.h"
#include "imageio/tiff_io.h"
#include "support/background_queue.h"
#include "support/memory.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace quovix {

namespace {

Status unsupportedLayout(int bytesPerPixel)
{
    return Status::failure(kExitFatal, "Unsupported bit depth conversion request: in=" + std::to_string(bytesPerPixel) +
                                           ", out=8\nFatal Error: Unsupported image type\n\n");
}

// Buffers of one image's analysis, taken once per image.
struct AnalysisBuffers {
    PageBuffer<WorkPixel> work;
    PageBuffer<WorkPixel> reduced;
    PageBuffer<uint16_t> weights;
    PageBuffer<uint16_t> saturation;
    PageBuffer<uint16_t> contrast;
    PageBuffer<uint16_t> focus;
};

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

Status widenToWork(void* buffer, int64_t count, int bytesPerPixel)
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
        return unsupportedLayout(bytesPerPixel);
    }
    return Status();
}

Status analyseImages(FusionRun& run, ImageList& list, int levels, bool focusMaps)
{
    const RunSettings& s = run.settings;
    run.progress.stage("analysing");
    const int n = levels < 1 ? 1 : levels;
    const ImageRegion canvas = run.canvas;
    const int canvasWidth = canvas.width;
    const int canvasHeight = canvas.height;
    const size_t canvasPixels = static_cast<size_t>(canvasWidth) * static_cast<size_t>(canvasHeight);
    const size_t halfPixels = static_cast<size_t>((canvasWidth + 1) / 2) * static_cast<size_t>((canvasHeight + 1) / 2);
    const IterationParams& it1 = s.iteration1;
    const IterationParams& it2 = s.iteration2;
    const bool noExposure = it1.exposureWeight == 0.0f && it2.exposureWeight == 0.0f;
    const bool wantSaturation = !(it1.saturationWeight == 0.0f && it2.saturationWeight == 0.0f);
    const bool contrastWeighted = !(it1.contrastWeight == 0.0f && it2.contrastWeight == 0.0f);
    const bool timing = s.showTiming;

    // The next input is read while this one is analysed below its first
    // level. Not in traced or
    // debug runs, whose lines show every step in program order, and not for
    // what is converted or cached on the way in (RAW files, preview caches),
    // which prints and writes files.
    InputReadAhead ahead(run.pool);
    const bool readAhead = !s.traceResources && !s.debugKeep && !run.console.tracing();
    auto startReadAhead = [&](int j) {
        if (!readAhead || j > list.last || run.cancelled())
            return;
        const ImageInfo& next = list.info[static_cast<size_t>(j)];
        const bool readable = next.known && (next.format == FileFormat::Jpeg || next.format == FileFormat::Tiff ||
                                             next.format == FileFormat::BigTiff || next.format == FileFormat::Png);
        if (readable && !(s.scaled && list.scale[j] == ScaleFull) && layoutMatches(next.bytesPerPixel, next.bitsPerSample))
            ahead.start(j, list.paths[j], next, canvas, canvasPixels);
    };

    for (int i = 0; i <= list.last; ++i) {
        QVX_TRY(run.checkCancel());
        const std::string path = list.paths[i];

        ImageInfo& info = list.info[static_cast<size_t>(i)];
        if (!info.known)
            QVX_TRY(queryImageInfo(run, path, info));
        const int bytesPerPixel = info.bytesPerPixel;

        run.console.print("[%d/%d] Analyzing %s", i + 1, list.last + 1, shownPath(list, i));
        if (!layoutMatches(bytesPerPixel, info.bitsPerSample))
            return unsupportedLayout(bytesPerPixel);

        // Pixels of this image that show a moving object get no weight at
        // any level, as if they lay outside it. Its contrast weights are then
        // kept in files: the level rows no longer tell them.
        std::vector<uint16_t> keep;
        QVX_TRY(keepPyramid(run, path, n, keep));
        const bool wantContrast = contrastWeighted && (writesContrastFiles(s) || !keep.empty());

        AnalysisBuffers buffers;
        int64_t start = clockMs();
        if (!ahead.take(i, buffers.work)) {
            QVX_TRY(buffers.work.allocate(run.console, canvasPixels));
            const bool fromCache = s.scaled && list.scale[i] == ScaleFull;
            QVX_TRY(prepareInput(run, path, info, buffers.work.get(), &canvas, 0, fromCache ? s.scaleFactor : 1.0f,
                                 fromCache));
        }
        if (timing)
            printElapsed(run.console, "Read image", start);

        WorkPixel* work = buffers.work.get();
        QVX_TRY(widenToWork(work, static_cast<int64_t>(canvasPixels), bytesPerPixel));
        if (focusMaps) {
            // The frame's own samples bound what a selection may produce.
            QVX_TRY(run.scratch.ensureRunFolder());
            QVX_TRY(writeTiffImage(run, run.scratch.scratchName(path, "v", 0), work,
                                   scratchLayout(canvasWidth, canvasHeight, 8, canvas)));
        }
        if (s.useYCrCb) {
            run.console.print(".");
            QVX_TRY(rgbToYcc(run, work, canvasWidth, canvasHeight));
        }

        QVX_TRY(buffers.reduced.allocate(run.console, halfPixels));
        QVX_TRY(buffers.weights.allocate(run.console, canvasPixels));
        // Files are compressed and written in the background while the next
        // level is computed; each weight map then needs its own buffer.
        // Traced and debug runs write in program order, as the trace shows.
        BackgroundQueue writer(s.traceResources || s.debugKeep);
        const bool async = !writer.synchronous();
        if (async && wantSaturation)
            QVX_TRY(buffers.saturation.allocate(run.console, canvasPixels));
        if (async && wantContrast)
            QVX_TRY(buffers.contrast.allocate(run.console, canvasPixels));
        QVX_TRY(run.scratch.ensureRunFolder());
        auto applyKeep = [&](uint16_t* map, int l, int w, int h) -> Status {
            if (keep.empty())
                return Status();
            size_t offset = 0;
            for (int k = 0; k < l; ++k)
                offset += static_cast<size_t>(levelSize(canvasWidth, k)) * levelSize(canvasHeight, k);
            const uint16_t* factors = keep.data() + offset;
            return run.pool.forRange(static_cast<size_t>(w) * h, size_t{1} << 16, [&](size_t begin, size_t end) {
                for (size_t p = begin; p < end; ++p)
                    map[p] = keptWeight(map[p], factors[p]);
            });
        };
        const int exposureLevel = analysisLevel(canvasWidth, canvasHeight, n);
        WorkPixel* reduced = buffers.reduced.get();
        uint16_t* exposureWeights = buffers.weights.get();
        uint16_t* saturationWeights = async && wantSaturation ? buffers.saturation.get() : exposureWeights;
        uint16_t* contrastWeights = async && wantContrast ? buffers.contrast.get() : exposureWeights;
        // Weight maps of the next level are made from the reduced level while
        // this level's files are written, unless that would move verbose
        // lines of the saturation map ahead of the level's progress dot.
        const bool early = async && !(wantSaturation && s.useYCrCb && s.verbosity >= 1);

        BackgroundQueue::Ticket weightsWritten = 0;
        BackgroundQueue::Ticket levelWritten = 0;
        BackgroundQueue::Ticket contrastWritten = 0;
        BackgroundQueue::Ticket focusWritten = 0;
        // Writes a buffer in the background; in a synchronous run the failure
        // is known at once, as it always was.
        auto submit = [&](std::function<Status()> job, BackgroundQueue::Ticket& ticket) -> Status {
            ticket = writer.submit(std::move(job));
            return writer.synchronous() ? writer.wait(ticket) : Status();
        };
        // The exposure and saturation maps of a Gaussian level.
        auto weightMaps = [&](const WorkPixel* gaussian, int l, int w, int h) -> Status {
            QVX_TRY(writer.wait(weightsWritten));
            const TiffLayout layout = scratchLayout(w, h, 2, canvas);
            if (!(noExposure && n - l > s.exposureBlendLevels)) {
                QVX_TRY(exposureWeightMap(run, gaussian, w, h, exposureWeights));
                QVX_TRY(applyKeep(exposureWeights, l, w, h));
                const std::string name = run.scratch.scratchName(path, "e", l);
                QVX_TRY(submit([&run, name, exposureWeights, layout] {
                    return writeTiffImage(run, name, exposureWeights, layout);
                }, weightsWritten));
            }
            if (wantSaturation) {
                QVX_TRY(saturationWeightMap(run, gaussian, w, h, saturationWeights));
                QVX_TRY(applyKeep(saturationWeights, l, w, h));
                const std::string name = run.scratch.scratchName(path, "s", l);
                QVX_TRY(submit([&run, name, saturationWeights, layout] {
                    return writeTiffImage(run, name, saturationWeights, layout);
                }, weightsWritten));
            }
            return Status();
        };

        int width = canvasWidth;
        int height = canvasHeight;
        for (int l = 0; l < n; ++l) {
            WorkPixel* level = work;
            run.console.print(".");
            if (s.debugKeep)
                QVX_TRY(writeWorkFile8(run, run.scratch.scratchName(path, "g", l), level, width, height, canvas, true));
            if (l == exposureLevel)
                list.exposure[i] = measureExposure(run, level, width, height);
            if (!early || l == 0)
                QVX_TRY(weightMaps(level, l, width, height));
            if (l < n - 1) {
                start = clockMs();
                QVX_TRY(reduceLevel(run, level, width, height, reduced));
                if (timing)
                    printElapsed(run.console, "reduce", start);
                start = clockMs();
                QVX_TRY(expandAndMerge(run, reduced, width, height, level, MergeType::Subtract));
                if (timing)
                    printElapsed(run.console, "expand", start);
            }
            start = clockMs();
            {
                const std::string name = run.scratch.scratchName(path, "l", l);
                QVX_TRY(submit([&run, name, level, width, height, canvas] {
                    return writeLaplacianFile(run, name, level, width, height, canvas);
                }, levelWritten));
            }
            if (timing)
                printElapsed(run.console, "write laplacian", start);
            if (focusMaps && l == 0) {
                QVX_TRY(buffers.focus.allocate(run.console, canvasPixels));
                uint16_t* focus = buffers.focus.get();
                QVX_TRY(focusMeasureMap(run, level, width, height, focus));
                QVX_TRY(applyKeep(focus, 0, width, height));
                const std::string name = run.scratch.scratchName(path, "f", 0);
                const TiffLayout layout = scratchLayout(width, height, 2, canvas);
                QVX_TRY(submit([&run, name, focus, layout] { return writeTiffImage(run, name, focus, layout); },
                               focusWritten));
            }
            start = clockMs();
            if (wantContrast) {
                QVX_TRY(writer.wait(contrastWritten));
                QVX_TRY(contrastWeightMap(run, level, width, height, contrastWeights));
                QVX_TRY(applyKeep(contrastWeights, l, width, height));
                const std::string name = run.scratch.scratchName(path, "c", l);
                const TiffLayout layout = scratchLayout(width, height, 2, canvas);
                QVX_TRY(submit([&run, name, contrastWeights, layout] {
                    return writeTiffImage(run, name, contrastWeights, layout);
                }, contrastWritten));
            }
            if (timing)
                printElapsed(run.console, "create/write weights", start);
            run.progress.advance(static_cast<int64_t>(width) * height);
            if (l < n - 1) {
                // Jobs run in order: the last one submitted ends this level's files.
                const BackgroundQueue::Ticket levelFilesWritten =
                    std::max({weightsWritten, levelWritten, contrastWritten, focusWritten});
                width = (width + 1) >> 1;
                height = (height + 1) >> 1;
                if (early)
                    QVX_TRY(weightMaps(reduced, l + 1, width, height));
                QVX_TRY(writer.wait(levelWritten));
                const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
                std::memcpy(level, reduced, pixels * sizeof(WorkPixel));
                if (l == 0) {
                    // The smaller levels use the start of the canvas buffers
                    // only: the rest, once level 0's files are written, goes
                    // back to the system and makes room for the next input,
                    // read from now on without raising the peak.
                    QVX_TRY(writer.wait(levelFilesWritten));
                    buffers.work.trim(pixels);
                    buffers.reduced.trim(static_cast<size_t>((width + 1) >> 1) * static_cast<size_t>((height + 1) >> 1));
                    buffers.weights.trim(pixels);
                    buffers.saturation.trim(pixels);
                    buffers.contrast.trim(pixels);
                    buffers.focus.reset();
                    startReadAhead(i + 1);
                }
            }
        }
        QVX_TRY(writer.waitAll());

        buffers.focus.reset();
        buffers.contrast.reset();
        buffers.saturation.reset();
        buffers.weights.reset();
        buffers.reduced.reset();
        buffers.work.reset();
        if (n == 1)
            startReadAhead(i + 1);

        if (s.verbosity >= 1)
            run.console.print("(exposure=%.2f)", list.exposure[i] * 0.015625);
        run.console.print("\n");
    }
    return Status();
}

bool writesContrastFiles(const RunSettings& settings)
{
    return settings.debugKeep || settings.keepGroupResults || settings.traceResources;
}

void removeLevelScratch(RunContext& run, const ImageList& list, int levels)
{
    static const char* const tags[] = {"l", "e", "c", "s", "f", "w", "v"};
    for (int level = 0; level < levels; ++level) {
        for (int32_t i = 0; i <= list.last; ++i) {
            for (const char* tag : tags)
                std::remove(run.scratch.scratchName(list.paths[i], tag, level).c_str());
        }
    }
}

} // namespace quovix
