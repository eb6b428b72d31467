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

namespace {

// Widens stored pixels [begin, end) into WorkPixels at the same indices.
// Walks backward: WorkPixel p lies at or after stored pixel p and ends before
// stored pixel p + 1 is overwritten only once p + 1 is done.
void widenRange(void* buffer, int64_t begin, int64_t end, int bytesPerPixel)
{
    uint8_t* bytes = static_cast<uint8_t*>(buffer);
    uint16_t* out = static_cast<uint16_t*>(buffer);
    const uint16_t* words = static_cast<const uint16_t*>(buffer);
    switch (bytesPerPixel) {
    case 1:
        for (int64_t p = end - 1; p >= begin; --p) {
            const uint16_t v = static_cast<uint16_t>(bytes[p] << 6);
            uint16_t* w = out + p * 4;
            w[0] = v; w[1] = v; w[2] = v; w[3] = kAlphaPresent;
        }
        break;
    case 2:
        for (int64_t p = end - 1; p >= begin; --p) {
            const uint16_t v = static_cast<uint16_t>(words[p] >> 2);
            uint16_t* w = out + p * 4;
            w[0] = v; w[1] = v; w[2] = v; w[3] = kAlphaPresent;
        }
        break;
    case 3:
        for (int64_t p = end - 1; p >= begin; --p) {
            const uint8_t* s = bytes + p * 3;
            const uint16_t r = static_cast<uint16_t>(s[0] << 6);
            const uint16_t g = static_cast<uint16_t>(s[1] << 6);
            const uint16_t b = static_cast<uint16_t>(s[2] << 6);
            uint16_t* w = out + p * 4;
            w[0] = r; w[1] = g; w[2] = b; w[3] = kAlphaPresent;
        }
        break;
    case 4:
        for (int64_t p = end - 1; p >= begin; --p) {
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
        for (int64_t p = end - 1; p >= begin; --p) {
            const uint16_t* s = words + p * 3;
            const uint16_t r = static_cast<uint16_t>(s[0] >> 2);
            const uint16_t g = static_cast<uint16_t>(s[1] >> 2);
            const uint16_t b = static_cast<uint16_t>(s[2] >> 2);
            uint16_t* w = out + p * 4;
            w[0] = r; w[1] = g; w[2] = b; w[3] = kAlphaPresent;
        }
        break;
    default:  // 8: the samples only lose their two low bits
        for (int64_t p = begin * 4; p < end * 4; p += 4) {
            out[p] = static_cast<uint16_t>(out[p] >> 2);
            out[p + 1] = static_cast<uint16_t>(out[p + 1] >> 2);
            out[p + 2] = static_cast<uint16_t>(out[p + 2] >> 2);
        }
        break;
    }
}

bool knownLayout(int bytesPerPixel)
{
    return bytesPerPixel == 1 || bytesPerPixel == 2 || bytesPerPixel == 3 || bytesPerPixel == 4 ||
           bytesPerPixel == 6 || bytesPerPixel == 8;
}

// Below this many pixels the rest is widened on one thread.
constexpr int64_t kSerialWiden = int64_t{1} << 16;

} // namespace

Status widenToWork(void* buffer, int64_t count, int bytesPerPixel)
{
    if (!knownLayout(bytesPerPixel))
        return unsupportedLayout(bytesPerPixel);
    widenRange(buffer, 0, count, bytesPerPixel);
    return Status();
}

Status widenToWork(WorkerPool& pool, void* buffer, int64_t count, int bytesPerPixel)
{
    if (!knownLayout(bytesPerPixel))
        return unsupportedLayout(bytesPerPixel);
    // Pixels [m, n) with 8m >= bytesPerPixel * n land beyond every stored
    // byte of pixels [0, n): they can be widened in any order, on any thread.
    // What is left, [0, m), is the same task again, a fraction the size.
    int64_t n = count;
    while (n > kSerialWiden) {
        const int64_t m = bytesPerPixel == 8 ? 0 : (n * bytesPerPixel + 7) / 8;
        QVX_TRY(pool.forRangeBalanced(static_cast<size_t>(n - m), static_cast<size_t>(kSerialWiden),
                              [&](size_t begin, size_t end) {
                                  widenRange(buffer, m + static_cast<int64_t>(begin), m + static_cast<int64_t>(end),
                                             bytesPerPixel);
                              }));
        n = m;
    }
    widenRange(buffer, 0, n, bytesPerPixel);
    return Status();
}

namespace {

// What every image of the analysis shares.
struct AnalysisPlan {
    ImageRegion canvas;
    size_t canvasPixels = 0;
    size_t halfPixels = 0;    // pixels of the first reduced level
    int levels = 1;
    bool noExposure = false;  // no exposure weight in either iteration
    bool wantSaturation = false;
    bool contrastWeighted = false;
    bool timing = false;
    bool focusMaps = false;  // each image's focus measure and samples written too
    // The next input is read while this one is analysed below its first
    // level. Not in traced or debug runs, whose lines show every step in
    // program order.
    bool readAhead = false;
};

AnalysisPlan planAnalysis(const FusionRun& run, int levels, bool focusMaps)
{
    const RunSettings& s = run.settings;
    const IterationParams& it1 = s.iteration1;
    const IterationParams& it2 = s.iteration2;
    AnalysisPlan plan;
    plan.canvas = run.canvas;
    plan.canvasPixels = static_cast<size_t>(run.canvas.width) * static_cast<size_t>(run.canvas.height);
    plan.halfPixels =
        static_cast<size_t>((run.canvas.width + 1) / 2) * static_cast<size_t>((run.canvas.height + 1) / 2);
    plan.levels = levels < 1 ? 1 : levels;
    plan.noExposure = it1.exposureWeight == 0.0f && it2.exposureWeight == 0.0f;
    plan.wantSaturation = !(it1.saturationWeight == 0.0f && it2.saturationWeight == 0.0f);
    plan.contrastWeighted = !(it1.contrastWeight == 0.0f && it2.contrastWeight == 0.0f);
    plan.timing = s.showTiming;
    plan.focusMaps = focusMaps;
    plan.readAhead = !s.traceResources && !s.debugKeep && !run.console.tracing();
    return plan;
}

// Starts reading entry j ahead of its turn, when it is read as it is stored:
// what is converted or cached on the way in (RAW files, preview caches)
// prints and writes files, and waits for its turn.
void startReadAhead(FusionRun& run, const AnalysisPlan& plan, const ImageList& list, InputReadAhead& ahead, int j)
{
    if (!plan.readAhead || j >= list.count() || run.cancelled())
        return;
    const ImageInfo& next = list[j].info;
    const bool readable = next.known && (next.format == FileFormat::Jpeg || next.format == FileFormat::Tiff ||
                                         next.format == FileFormat::BigTiff || next.format == FileFormat::Png);
    if (readable && !(run.settings.scaled && list[j].scale == ScaleFull) &&
        layoutMatches(next.bytesPerPixel, next.bitsPerSample))
        ahead.start(j, list[j].path, next, plan.canvas, plan.canvasPixels);
}

// Entry i on the canvas as working pixels: taken from the read ahead, or read
// now.
Status readWorkImage(FusionRun& run, const AnalysisPlan& plan, ImageList& list, int i, InputReadAhead& ahead,
                     PageBuffer<WorkPixel>& work)
{
    const RunSettings& s = run.settings;
    const ImageInfo& info = list[i].info;
    const int64_t start = clockMs();
    bool widened = false;
    if (!ahead.take(i, work, widened)) {
        QVX_TRY(work.allocate(run.console, plan.canvasPixels));
        const bool fromCache = s.scaled && list[i].scale == ScaleFull;
        QVX_TRY(prepareInput(run, list[i].path, info, work.get(), &plan.canvas, 0,
                             fromCache ? s.scaleFactor : 1.0f, fromCache));
    }
    if (plan.timing)
        printElapsed(run.console, "Read image", start);
    if (!widened)
        QVX_TRY(widenToWork(run.pool, work.get(), static_cast<int64_t>(plan.canvasPixels), info.bytesPerPixel));
    if (plan.focusMaps) {
        // The frame's own samples bound what a selection may produce.
        QVX_TRY(run.scratch.ensureRunFolder());
        QVX_TRY(writeTiffImage(run, run.levelFiles.path(list[i].path, LevelKind::Samples, 0), work.get(),
                               scratchLayout(run.canvas.width, run.canvas.height, 8, plan.canvas)));
    }
    if (s.useYCrCb) {
        run.console.print(".");
        QVX_TRY(rgbToYcc(run, work.get(), run.canvas.width, run.canvas.height));
    }
    return Status();
}

// One image's pyramid, level by level: its Laplacian levels, its weight maps
// and its exposure measure. Files are compressed and written in the
// background while the next level is computed; each weight map then needs a
// buffer of its own. Traced and debug runs write in program order, as the
// trace shows.
class PyramidPass {
public:
    PyramidPass(FusionRun& run, const AnalysisPlan& plan, const std::string& path, const std::vector<uint16_t>& keep,
                bool wantContrast, AnalysisBuffers& buffers)
        : run_(run), s_(run.settings), plan_(plan), path_(path), keep_(keep), wantContrast_(wantContrast),
          buffers_(buffers), writer_(run.settings.traceResources || run.settings.debugKeep),
          async_(!writer_.synchronous())
    {
    }

    // Takes the level and weight buffers and makes sure of the scratch folder.
    Status prepare()
    {
        QVX_TRY(buffers_.reduced.allocate(run_.console, plan_.halfPixels));
        QVX_TRY(buffers_.weights.allocate(run_.console, plan_.canvasPixels));
        if (async_ && plan_.wantSaturation)
            QVX_TRY(buffers_.saturation.allocate(run_.console, plan_.canvasPixels));
        if (async_ && wantContrast_)
            QVX_TRY(buffers_.contrast.allocate(run_.console, plan_.canvasPixels));
        QVX_TRY(run_.scratch.ensureRunFolder());
        exposureWeights_ = buffers_.weights.get();
        saturationWeights_ = async_ && plan_.wantSaturation ? buffers_.saturation.get() : exposureWeights_;
        contrastWeights_ = async_ && wantContrast_ ? buffers_.contrast.get() : exposureWeights_;
        // Weight maps of the next level are made from the reduced level while
        // this level's files are written, unless that would move verbose
        // lines of the saturation map ahead of the level's progress dot.
        early_ = async_ && !(plan_.wantSaturation && s_.useYCrCb && s_.verbosity >= 1);
        return Status();
    }

    // Every level, then every file written; `exposure` receives the measure
    // and `levelZeroDone` is called once level 0's buffers went back.
    Status run(double& exposure, const std::function<void()>& levelZeroDone)
    {
        const int exposureLevel = analysisLevel(plan_.canvas.width, plan_.canvas.height, plan_.levels);
        int width = plan_.canvas.width;
        int height = plan_.canvas.height;
        for (int l = 0; l < plan_.levels; ++l) {
            WorkPixel* level = buffers_.work.get();
            run_.console.print(".");
            if (s_.debugKeep)
                QVX_TRY(writeWorkFile8(run_, run_.levelFiles.path(path_, LevelKind::Gaussian, l), level, width, height,
                                       plan_.canvas, true));
            if (l == exposureLevel)
                exposure = measureExposure(run_, level, width, height);
            if (!early_ || l == 0)
                QVX_TRY(weightMaps(level, l, width, height));
            if (l < plan_.levels - 1)
                QVX_TRY(reduceAndSubtract(level, width, height));
            QVX_TRY(writeLaplacian(level, l, width, height));
            if (plan_.focusMaps && l == 0)
                QVX_TRY(focusMap(level, width, height));
            QVX_TRY(contrastMap(level, l, width, height));
            run_.progress.advance(static_cast<int64_t>(width) * height);
            if (l < plan_.levels - 1)
                QVX_TRY(nextLevel(l, width, height, levelZeroDone));
        }
        return writer_.waitAll();
    }

private:
    // Moving pixels keep only their share of the weight.
    Status applyKeep(uint16_t* map, int l, int w, int h)
    {
        if (keep_.empty())
            return Status();
        size_t offset = 0;
        for (int k = 0; k < l; ++k)
            offset += static_cast<size_t>(levelSize(plan_.canvas.width, k)) * levelSize(plan_.canvas.height, k);
        const uint16_t* factors = keep_.data() + offset;
        return run_.pool.forRangeBalanced(static_cast<size_t>(w) * h, size_t{1} << 16, [&](size_t begin, size_t end) {
            for (size_t p = begin; p < end; ++p)
                map[p] = keptWeight(map[p], factors[p]);
        });
    }

    // Writes a buffer in the background; in a synchronous run the failure
    // is known at once, as it always was.
    Status submit(std::function<Status()> job, BackgroundQueue::Ticket& ticket)
    {
        ticket = writer_.submit(std::move(job));
        return writer_.synchronous() ? writer_.wait(ticket) : Status();
    }

    // A weight map of a level to its scratch file.
    Status submitWeights(LevelKind kind, int l, const uint16_t* weights, const TiffLayout& layout,
                         BackgroundQueue::Ticket& ticket)
    {
        const std::string name = run_.levelFiles.path(path_, kind, l);
        RunContext& run = run_;
        return submit([&run, name, weights, layout] { return writeTiffImage(run, name, weights, layout); }, ticket);
    }

    // The exposure and saturation maps of a Gaussian level.
    Status weightMaps(const WorkPixel* gaussian, int l, int w, int h)
    {
        QVX_TRY(writer_.wait(weightsWritten_));
        const TiffLayout layout = scratchLayout(w, h, 2, plan_.canvas);
        if (!(plan_.noExposure && plan_.levels - l > run_.depths.exposureBlendLevels)) {
            QVX_TRY(exposureWeightMap(run_, gaussian, w, h, exposureWeights_));
            QVX_TRY(applyKeep(exposureWeights_, l, w, h));
            QVX_TRY(submitWeights(LevelKind::Exposure, l, exposureWeights_, layout, weightsWritten_));
        }
        if (plan_.wantSaturation) {
            QVX_TRY(saturationWeightMap(run_, gaussian, w, h, saturationWeights_));
            QVX_TRY(applyKeep(saturationWeights_, l, w, h));
            QVX_TRY(submitWeights(LevelKind::Saturation, l, saturationWeights_, layout, weightsWritten_));
        }
        return Status();
    }

    // The level reduced into the reduced buffer, and the level minus the
    // expanded reduction left in place: its Laplacian.
    Status reduceAndSubtract(WorkPixel* level, int width, int height)
    {
        int64_t start = clockMs();
        QVX_TRY(reduceLevel(run_, level, width, height, buffers_.reduced.get()));
        if (plan_.timing)
            printElapsed(run_.console, "reduce", start);
        start = clockMs();
        QVX_TRY(expandAndMerge(run_, buffers_.reduced.get(), width, height, level, MergeType::Subtract));
        if (plan_.timing)
            printElapsed(run_.console, "expand", start);
        return Status();
    }

    Status writeLaplacian(const WorkPixel* level, int l, int width, int height)
    {
        const int64_t start = clockMs();
        const std::string name = run_.levelFiles.path(path_, LevelKind::Laplacian, l);
        RunContext& run = run_;
        const ImageRegion canvas = plan_.canvas;
        QVX_TRY(submit([&run, name, level, width, height, canvas] {
            return writeLaplacianFile(run, name, level, width, height, canvas);
        }, levelWritten_));
        if (plan_.timing)
            printElapsed(run_.console, "write laplacian", start);
        return Status();
    }

    // The focus measure of level 0.
    Status focusMap(const WorkPixel* level, int width, int height)
    {
        QVX_TRY(buffers_.focus.allocate(run_.console, plan_.canvasPixels));
        uint16_t* focus = buffers_.focus.get();
        QVX_TRY(focusMeasureMap(run_, level, width, height, focus));
        QVX_TRY(applyKeep(focus, 0, width, height));
        return submitWeights(LevelKind::Focus, 0, focus, scratchLayout(width, height, 2, plan_.canvas),
                             focusWritten_);
    }

    // The contrast map of a Laplacian level.
    Status contrastMap(const WorkPixel* level, int l, int width, int height)
    {
        const int64_t start = clockMs();
        if (wantContrast_) {
            QVX_TRY(writer_.wait(contrastWritten_));
            QVX_TRY(contrastWeightMap(run_, level, width, height, contrastWeights_));
            QVX_TRY(applyKeep(contrastWeights_, l, width, height));
            const TiffLayout layout = scratchLayout(width, height, 2, plan_.canvas);
            QVX_TRY(submitWeights(LevelKind::Contrast, l, contrastWeights_, layout, contrastWritten_));
        }
        if (plan_.timing)
            printElapsed(run_.console, "create/write weights", start);
        return Status();
    }

    // The reduced level becomes the level; after level 0 the canvas buffers'
    // unused tails go back to the system.
    Status nextLevel(int l, int& width, int& height, const std::function<void()>& levelZeroDone)
    {
        // Jobs run in order: the last one submitted ends this level's files.
        const BackgroundQueue::Ticket levelFilesWritten =
            std::max({weightsWritten_, levelWritten_, contrastWritten_, focusWritten_});
        width = (width + 1) >> 1;
        height = (height + 1) >> 1;
        if (early_)
            QVX_TRY(weightMaps(buffers_.reduced.get(), l + 1, width, height));
        QVX_TRY(writer_.wait(levelWritten_));
        const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
        std::memcpy(buffers_.work.get(), buffers_.reduced.get(), pixels * sizeof(WorkPixel));
        if (l == 0) {
            // The smaller levels use the start of the canvas buffers only:
            // the rest, once level 0's files are written, goes back to the
            // system and makes room for the next input, read from now on
            // without raising the peak.
            QVX_TRY(writer_.wait(levelFilesWritten));
            buffers_.work.trim(pixels);
            buffers_.reduced.trim(static_cast<size_t>((width + 1) >> 1) * static_cast<size_t>((height + 1) >> 1));
            buffers_.weights.trim(pixels);
            buffers_.saturation.trim(pixels);
            buffers_.contrast.trim(pixels);
            buffers_.focus.reset();
            levelZeroDone();
        }
        return Status();
    }

    FusionRun& run_;
    const RunSettings& s_;
    const AnalysisPlan& plan_;
    const std::string& path_;
    const std::vector<uint16_t>& keep_;
    const bool wantContrast_;
    AnalysisBuffers& buffers_;
    // Declared after the buffers' owner is bound: the queue's destructor
    // waits for every job before the buffers can go.
    BackgroundQueue writer_;
    const bool async_;
    bool early_ = false;
    uint16_t* exposureWeights_ = nullptr;
    uint16_t* saturationWeights_ = nullptr;
    uint16_t* contrastWeights_ = nullptr;
    BackgroundQueue::Ticket weightsWritten_ = 0;
    BackgroundQueue::Ticket levelWritten_ = 0;
    BackgroundQueue::Ticket contrastWritten_ = 0;
    BackgroundQueue::Ticket focusWritten_ = 0;
};

// Entry i: its level and weight files and its exposure measure.
Status analyseImage(FusionRun& run, const AnalysisPlan& plan, ImageList& list, int i, InputReadAhead& ahead)
{
    const RunSettings& s = run.settings;
    const std::string path = list[i].path;
    ImageInfo& info = list[i].info;
    if (!info.known)
        QVX_TRY(queryImageInfo(run, path, info));
    run.console.print("[%d/%d] Analyzing %s", i + 1, list.count(), list[i].shown());
    if (!layoutMatches(info.bytesPerPixel, info.bitsPerSample))
        return unsupportedLayout(info.bytesPerPixel);

    // Pixels of this image that show a moving object get no weight at any
    // level, as if they lay outside it. Its contrast weights are then kept in
    // files: the level rows no longer tell them.
    std::vector<uint16_t> keep;
    QVX_TRY(keepPyramid(run, path, plan.levels, keep));
    const bool wantContrast = plan.contrastWeighted && (writesContrastFiles(s) || !keep.empty());

    AnalysisBuffers buffers;
    QVX_TRY(readWorkImage(run, plan, list, i, ahead, buffers.work));
    {
        PyramidPass pass(run, plan, path, keep, wantContrast, buffers);
        QVX_TRY(pass.prepare());
        QVX_TRY(pass.run(list[i].exposure, [&] { startReadAhead(run, plan, list, ahead, i + 1); }));
    }
    buffers.focus.reset();
    buffers.contrast.reset();
    buffers.saturation.reset();
    buffers.weights.reset();
    buffers.reduced.reset();
    buffers.work.reset();
    if (plan.levels == 1)
        startReadAhead(run, plan, list, ahead, i + 1);

    if (s.verbosity >= 1)
        run.console.print("(exposure=%.2f)", list[i].exposure * 0.015625);
    run.console.print("\n");
    return Status();
}

} // namespace

Status analyseImages(FusionRun& run, ImageList& list, int levels, bool focusMaps)
{
    run.progress.stage("analysing");
    const AnalysisPlan plan = planAnalysis(run, levels, focusMaps);
    InputReadAhead ahead(run.pool);
    for (int i = 0; i < list.count(); ++i) {
        QVX_TRY(run.checkCancel());
        QVX_TRY(analyseImage(run, plan, list, i, ahead));
    }
    return Status();
}

bool writesContrastFiles(const RunSettings& settings)
{
    return settings.debugKeep || settings.keepGroupResults || settings.traceResources;
}

void removeLevelScratch(RunContext& run, const ImageList& list, int levels)
{
    LevelStore(run.scratch).remove(list, levels);
}

} // namespace quovix
