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
    return run.pool.forRange(static_cast<size_t>(count), size_t{1} << 16, [&](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) {
            WorkPixel& p = pixels[i];
            p.c0 = p.c0 < 0 ? 0 : (p.c0 > 16383 ? 16383 : p.c0);
            p.c1 = p.c1 < 0 ? 0 : (p.c1 > 16383 ? 16383 : p.c1);
            p.c2 = p.c2 < 0 ? 0 : (p.c2 > 16383 ? 16383 : p.c2);
        }
    });
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
        run.console.print("  %s, exposure=%.2f\n", shownPath(images, i), images.exposure[i] * 0.015625);

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
    CombineMode finestMode = mode;
    for (int level = levels - 1; level >= 0; --level) {
        QVX_TRY(run.checkCancel());
        run.console.print(".");
        const int lw = levelSize(width, level);
        const int lh = levelSize(height, level);
        const bool exposureBlending = mode != CombineMode::Average && levels - level <= s.exposureBlendLevels;
        CombineMode effectiveMode = mode;
        if (exposureBlending) {
            if (s.verbosity >= 1)
                run.console.print("Exposure blending level: %d", level);
            effectiveMode = CombineMode::Average;
            QVX_TRY(combineLevel(run, images, level, 0.0f, 1.0f, 0.0f, CombineMode::Average, result.get(), false,
                                 level == 0 ? chosenIndex : nullptr));
        } else if (selection) {
            QVX_TRY(combineLevel(run, images, level, 0.0f, 0.0f, 0.0f, mode, result.get(), true));
        } else {
            QVX_TRY(combineLevel(run, images, level, contrastWeight, exposureWeight, saturationWeight, mode,
                                 result.get(), false, level == 0 ? chosenIndex : nullptr));
        }
        if (level == 0)
            finestMode = effectiveMode;

        if (s.debugKeep) {
            QVX_TRY(writeWorkFile8(run, run.scratch.scratchName("result_before_exp", "t", level), previous.get(),
                                   levelSize(width, level + 1), levelSize(height, level + 1), run.canvas, true));
            QVX_TRY(writeRawLaplacian(run, run.scratch.scratchName("avg_lapl", "l", level), result.get(), lw, lh,
                                      run.canvas));
        }
        if (level < levels - 1)
            QVX_TRY(expandAndMerge(run, previous.get(), lw, lh, result.get(), MergeType::Add));
        if (effectiveMode == CombineMode::Maximum)
            QVX_TRY(constrainHighlights(run, result.get(), static_cast<int64_t>(lw) * lh));
        if (level != 0)
            std::memcpy(previous.get(), result.get(), static_cast<size_t>(lw) * lh * sizeof(WorkPixel));
        if (s.debugKeep)
            QVX_TRY(writeWorkFile8(run, run.scratch.scratchName("result", "t", level), result.get(), lw, lh,
                                   run.canvas, true));
        run.progress.advance(static_cast<int64_t>(lw) * lh * n);
    }

    run.console.print("\nFinalizing...\n");
    const int64_t count = static_cast<int64_t>(width) * height;
    if (s.noise.atFinalize && (s.noise.lumaThreshold > 0.0f || s.noise.chromaThreshold > 0.0f))
        QVX_TRY(reduceNoise(run, result.get(), width, height));
    if (finestMode == CombineMode::Maximum)
        QVX_TRY(constrainHighlights(run, result.get(), count));
    QVX_TRY(clampSamples(run, result.get(), count));
    if (s.useYCrCb) {
        run.console.print(".");
        QVX_TRY(yccToRgb(run, result.get(), width, height));
    }
    if (selection)
        QVX_TRY(clampToFrames(run, images, result.get()));
    if (applyLevels)
        QVX_TRY(adjustLevels(run, result.get(), width, height));

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
