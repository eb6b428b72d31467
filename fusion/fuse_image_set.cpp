#include "fusion/fuse_image_set.h"

#include "analysis/color_space.h"
#include "analysis/noise_reduction.h"
#include "analysis/pyramid.h"
#include "analysis/work_files.h"
#include "fusion/combine_level.h"
#include "fusion/focus_select.h"
#include "fusion/highlight_constraint.h"
#include "fusion/levels_adjust.h"
#include "fusion/output_file.h"
#include "support/memory.h"

#include <cstring>

namespace quovix {

namespace {

Status clampSamples(RunContext& run, WorkPixel* pixels, int64_t count)
{
    return run.pool.forRangeBalanced(static_cast<size_t>(count), size_t{1} << 16, [&](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) {
            WorkPixel& p = pixels[i];
            p.c0 = p.c0 < 0 ? 0 : (p.c0 > 16383 ? 16383 : p.c0);
            p.c1 = p.c1 < 0 ? 0 : (p.c1 > 16383 ? 16383 : p.c1);
            p.c2 = p.c2 < 0 ? 0 : (p.c2 > 16383 ? 16383 : p.c2);
        }
    });
}

// The weights and rule a set is combined with.
struct SetWeights {
    float contrast = 0.0f;
    float exposure = 0.0f;
    float saturation = 0.0f;
    CombineMode mode = CombineMode::Average;
    bool selection = false;            // the selection weights instead (the mode then Average)
    uint16_t* chosenIndex = nullptr;   // null, or the image kept at every pixel of level 0
};

// Level `level` of every image combined into `result`, the coarser levels
// collapsed so far (in `previous`) expanded and added to it; `used` receives
// the rule it was combined with.
Status collapseLevel(FusionRun& run, const ImageList& images, int levels, int level, const SetWeights& w,
                     WorkPixel* result, WorkPixel* previous, CombineMode& used)
{
    const RunSettings& s = run.settings;
    const int width = run.canvas.width;
    const int height = run.canvas.height;
    const int lw = levelSize(width, level);
    const int lh = levelSize(height, level);
    const bool exposureBlending = w.mode != CombineMode::Average && levels - level <= run.depths.exposureBlendLevels;
    used = w.mode;
    if (exposureBlending) {
        if (s.verbosity >= 1)
            run.console.print("Exposure blending level: %d", level);
        used = CombineMode::Average;
        QVX_TRY(combineLevel(run, images, level, 0.0f, 1.0f, 0.0f, CombineMode::Average, result, false,
                             level == 0 ? w.chosenIndex : nullptr));
    } else if (w.selection) {
        QVX_TRY(combineLevel(run, images, level, 0.0f, 0.0f, 0.0f, w.mode, result, true));
    } else {
        QVX_TRY(combineLevel(run, images, level, w.contrast, w.exposure, w.saturation, w.mode, result, false,
                             level == 0 ? w.chosenIndex : nullptr));
    }
    if (s.debugKeep) {
        QVX_TRY(writeWorkFile8(run, run.scratch.scratchName("result_before_exp", "t", level), previous,
                               levelSize(width, level + 1), levelSize(height, level + 1), run.canvas, true));
        QVX_TRY(writeRawLaplacian(run, run.levelFiles.path("avg_lapl", LevelKind::Laplacian, level), result, lw, lh,
                                  run.canvas));
    }
    if (level < levels - 1)
        QVX_TRY(expandAndMerge(run, previous, lw, lh, result, MergeType::Add));
    if (used == CombineMode::Maximum)
        QVX_TRY(constrainHighlights(run, result, static_cast<int64_t>(lw) * lh));
    if (level != 0) {
        QVX_TRY(run.pool.forRangeBalanced(static_cast<size_t>(lw) * lh, size_t{1} << 16, [&](size_t begin, size_t end) {
            std::memcpy(previous + begin, result + begin, (end - begin) * sizeof(WorkPixel));
        }));
    }
    if (s.debugKeep)
        QVX_TRY(writeWorkFile8(run, run.scratch.scratchName("result", "t", level), result, lw, lh, run.canvas, true));
    return Status();
}

// The collapsed image made final: noise reduced, highlights constrained,
// samples clamped, back in RGB, a selection kept within its frames' range
// and the levels adjusted when asked.
Status finishResult(FusionRun& run, const ImageList& images, const SetWeights& w, WorkPixel* result,
                    CombineMode finestMode, bool applyLevels)
{
    const RunSettings& s = run.settings;
    const int width = run.canvas.width;
    const int height = run.canvas.height;
    run.console.print("\nFinalizing...\n");
    const int64_t count = static_cast<int64_t>(width) * height;
    if (s.noise.atFinalize && (s.noise.lumaThreshold > 0.0f || s.noise.chromaThreshold > 0.0f))
        QVX_TRY(reduceNoise(run, result, width, height));
    if (finestMode == CombineMode::Maximum)
        QVX_TRY(constrainHighlights(run, result, count));
    QVX_TRY(clampSamples(run, result, count));
    if (s.useYCrCb) {
        run.console.print(".");
        QVX_TRY(yccToRgb(run, result, width, height));
    }
    if (w.selection)
        QVX_TRY(clampToFrames(run, images, result));
    if (applyLevels)
        QVX_TRY(adjustLevels(run, result, width, height));
    return Status();
}

} // namespace

Status fuseImageSet(FusionRun& run, const ImageList& images, int levels, float contrastWeight, float exposureWeight,
                    float saturationWeight, CombineMode mode, const std::string& outputPath, bool applyLevels,
                    bool selection, uint16_t* chosenIndex)
{
    const RunSettings& s = run.settings;
    const int n = images.count();
    run.console.print("Fusing %d images:\n", n);
    for (int i = 0; i < n; ++i)
        run.console.print("  %s, exposure=%.2f\n", images[i].shown(), images[i].exposure * 0.015625);

    run.console.print("Collapsing");
    run.progress.stage("fusing");
    const int width = run.canvas.width;
    const int height = run.canvas.height;
    PageBuffer<WorkPixel> result;
    PageBuffer<WorkPixel> previous;
    QVX_TRY(result.allocate(run.console, static_cast<size_t>(width) * height));
    QVX_TRY(previous.allocate(run.console, static_cast<size_t>((width + 1) / 2) * ((height + 1) / 2)));

    if (selection)
        mode = CombineMode::Average;
    const SetWeights weights{contrastWeight, exposureWeight, saturationWeight, mode, selection, chosenIndex};
    CombineMode finestMode = mode;
    for (int level = levels - 1; level >= 0; --level) {
        QVX_TRY(run.checkCancel());
        run.console.print(".");
        CombineMode used = mode;
        QVX_TRY(collapseLevel(run, images, levels, level, weights, result.get(), previous.get(), used));
        if (level == 0)
            finestMode = used;
        run.progress.advance(static_cast<int64_t>(levelSize(width, level)) * levelSize(height, level) * n);
    }
    QVX_TRY(finishResult(run, images, weights, result.get(), finestMode, applyLevels));

    QVX_TRY(run.checkCancel());
    run.console.print("Writing %s\n", outputPath.c_str());
    if (outputPath == s.outputPath) {
        std::string temp;
        QVX_TRY(writeOutputTemp(run, outputPath, result.get(), width, height, temp));
        previous.reset();
        result.reset();
        return completeOutputFile(run, temp, outputPath);
    }
    // An intermediate file (a group result): a failed write ends the run.
    return writeFinishedImage(run, outputPath, result.get(), width, height);
}

} // namespace quovix
