#include "fusion/fusion_driver.h"

#include "analysis/analyse_images.h"
#include "analysis/motion_masks.h"
#include "fusion/depth_map.h"
#include "fusion/focus_select.h"
#include "fusion/fuse_image_set.h"
#include "fusion/output_file.h"
#include "imageio/file_format.h"

#include <cstdio>
#include <string>
#include <vector>

namespace quovix {

namespace {

// The next ungrouped entry in exposure order after entry k (-1: none). With
// `skipPassed`, an entry of equal exposure at a lower index than k (one the
// grouping walk has passed) is not taken again: when equal exposures are not
// similar (a threshold of 0 or below) the walk would otherwise go back and
// forth between them for ever. Otherwise the two scans agree.
int scanBrighter(const ImageList& list, int k, bool skipPassed)
{
    const double reference = (k >= 0 && k <= list.last) ? list.exposure[k] : 0.0;
    int best = -1;
    double bestDiff = 99999.0;
    for (int i = 0; i <= list.last; ++i) {
        if (i == k || list.group[i] != 0)
            continue;
        double d = list.exposure[i] - reference;
        if (d < 0.0 || (skipPassed && d == 0.0 && k >= 0 && i < k))
            continue;
        if (d < bestDiff) {
            bestDiff = d;
            best = i;
        }
    }
    return best;
}

void removeEntriesOfType(Console& console, const ImageList& list, int type)
{
    for (int i = 0; i <= list.last; ++i) {
        if (list.type[i] == type && std::remove(list.paths[i]) != 0)
            console.notice("Cannot remove %s\n", list.paths[i]);
    }
}

// Copies made for this run (exposure-shifted inputs, converted RAW files,
// aligned inputs) go in every case, also under -d and when the run fails.
void removeRunCopies(FusionRun& run)
{
    removeEntriesOfType(run.console, run.images, TypeExposureAdjusted);
    removeEntriesOfType(run.console, run.images, TypeConvertedFromRaw);
    removeEntriesOfType(run.console, run.images, TypeAligned);
}

// One fusion of a set: by selection of the sharpest frame, or by the
// iteration's weights and mode. With `mapped`, the depth map shows its
// choice at every pixel.
Status fuseSet(FusionRun& run, const ImageList& set, int levels, const IterationParams& it, bool select, bool mapped,
               const std::string& path, bool applyLevels)
{
    const RunSettings& s = run.settings;
    PageBuffer<uint16_t> chosen;
    if (select) {
        run.console.print("Selecting the sharpest of %d frames at every pixel\n", set.count());
        QVX_TRY(chooseSharpestFrames(run, set, chosen));
        if (mapped)
            QVX_TRY(writeDepthMap(run, s.depthMapPath, chosen.get(), set.count()));
        QVX_TRY(writeSelectionWeights(run, set, levels, chosen.get()));
        chosen.reset();
    } else if (mapped) {
        QVX_TRY(chosen.allocate(run.console, static_cast<size_t>(run.canvas.width) * run.canvas.height));
    }
    QVX_TRY(fuseImageSet(run, set, levels, it.contrastWeight, it.exposureWeight, it.saturationWeight, it.mode, path,
                         applyLevels, select, chosen.get()));
    if (mapped && !select)
        QVX_TRY(writeDepthMap(run, s.depthMapPath, chosen.get(), set.count()));
    return Status();
}

// The iterations themselves; runFusion removes the run's copies afterwards,
// whatever the outcome.
Status fuseIterations(FusionRun& run)
{
    const RunSettings& s = run.settings;
    ImageList& images = run.images;
    const int levels = s.levelCount;
    ImageList groupResults;
    QVX_TRY(createImageList(run.console, images.capacity, groupResults));
    bool applyLevelsInGroup = false;
    bool groupIsOutput = false;
    // Selection replaces the focus blending: iteration 1's, or the only pass.
    const bool select = s.focusMode == FocusMode::Select;
    int mappedGroup = 0;  // the group the depth map shows; 0: the final fusion

    if (s.iterationCount != 1) {
        const int groups = groupSimilarExposures(run, images);
        int ungrouped = 0;
        for (int i = 0; i <= images.last; ++i) {
            if (images.group[i] == 0)
                ++ungrouped;
        }
        // Grouped entries fused once; then, unless one group is the output,
        // each group result analysed and fused with the ungrouped entries.
        const bool oneGroupOnly = ungrouped == 0 && groups == 1;
        run.progress.expect(pyramidPixels(run.canvas.width, run.canvas.height, levels) *
                            (images.count() - ungrouped + (oneGroupOnly ? 0 : 2 * groups + ungrouped)));
        // The depth map shows the largest group (the first of equal ones).
        std::vector<int> members(static_cast<size_t>(groups) + 1, 0);
        for (int i = 0; i <= images.last; ++i)
            ++members[images.group[i]];
        for (int g = 1; g <= groups; ++g) {
            if (!s.depthMapPath.empty() && (mappedGroup == 0 || members[g] > members[mappedGroup]))
                mappedGroup = g;
        }
        if (groups == 0) {
            run.console.print("Iteration 1: No similar exposures found\n");
        } else {
            run.console.print("Iteration 1: %d images remain to be fused in %d groups\n", images.count(), groups);
            if (s.verbosity > 0)
                printImageList(run.console, images, s.verbosity);
            groupIsOutput = oneGroupOnly;
            for (int g = 1; g <= groups; ++g) {
                int members = 0;
                for (int i = 0; i <= images.last; ++i) {
                    if (images.group[i] == static_cast<uint32_t>(g))
                        ++members;
                }
                ImageList group;
                QVX_TRY(createImageList(run.console, members, group));
                for (int i = 0; i <= images.last; ++i) {
                    if (images.group[i] == static_cast<uint32_t>(g))
                        QVX_TRY(appendImageCopy(group, images, i));
                }
                const std::string path = run.scratch.scratchName("fcsblend", "t", g);
                if (groupIsOutput)
                    applyLevelsInGroup = s.levelsAdjust.enabled;
                const Status fused = fuseSet(run, group, levels, s.iteration1, select, g == mappedGroup, path,
                                             applyLevelsInGroup);
                if (!s.debugKeep)
                    removeLevelScratch(run, group, levels);
                // The group result shows a moving object where every member did.
                const Status merged = fused.ok() && !groupIsOutput ? mergeGroupMask(run, group, path) : Status();
                releaseImageList(group);
                QVX_TRY(merged);
                // The only group's result is the output: an incomplete one must
                // not replace it.
                if (groupIsOutput && !fused.ok() && fused.unwrittenFile() == path)
                    return Status::failure(kExitIoError, "Error writing output file " + s.outputPath + "\n",
                                           ErrorKind::Output);
                QVX_TRY(fused);
                // Group results are the program's own files: classified when analysed.
                QVX_TRY(appendImage(groupResults, path, TypeFocusBlended, s.scaled ? ScaleScaled : ScaleFull));
            }
        }
    }

    if (groupIsOutput) {
        run.console.print("Iteration 2: No images remain to be fused\n");
        QVX_TRY(installGroupResult(run, groupResults.paths[0], s.outputPath));
    } else {
        QVX_TRY(analyseImages(run, groupResults, levels));
        for (int i = 0; i <= images.last; ++i) {
            if (images.group[i] == 0)
                QVX_TRY(appendImageCopy(groupResults, images, i));
        }
        run.console.print("Iteration 2: %d images remain to be fused\n", groupResults.count());
        const Status result = fuseSet(run, groupResults, levels, s.iteration2, select && s.iterationCount == 1,
                                      !s.depthMapPath.empty() && mappedGroup == 0, s.outputPath,
                                      s.levelsAdjust.enabled);
        if (!s.debugKeep) {
            removeLevelScratch(run, groupResults, levels);
            if (!s.keepGroupResults)
                removeEntriesOfType(run.console, groupResults, TypeFocusBlended);
        }
        QVX_TRY(result);
    }
    return Status();
}

} // namespace

int nextBrighter(const ImageList& list, int k)
{
    return scanBrighter(list, k, false);
}

bool exposuresSimilar(float threshold, double a, double b)
{
    if (a == 0.0 && b == 0.0)
        return true;
    double hi = a > b ? a : b;
    double lo = a > b ? b : a;
    return static_cast<double>(threshold) > hi / lo - 1.0;
}

int groupSimilarExposures(FusionRun& run, ImageList& list)
{
    int index = scanBrighter(list, -1, true);
    if (index == -1)
        return 0;
    uint32_t id = 1;
    bool open = false;
    int anchor = index;
    while (index >= 0) {
        int next = scanBrighter(list, index, true);
        if (next >= 0) {
            if (exposuresSimilar(run.settings.exposureThreshold, list.exposure[anchor], list.exposure[next])) {
                if (run.settings.verbosity > 0)
                    run.console.print("  Similar...assigning group ID %d\n", static_cast<int>(id));
                list.group[index] = id;
                list.group[next] = id;
                open = true;
            } else {
                if (open)
                    ++id;
                open = false;
                anchor = next;
            }
        }
        index = next;
    }
    return static_cast<int>(open ? id : id - 1);
}

Status runFusion(FusionRun& run)
{
    const Status status = fuseIterations(run);
    removeRunCopies(run);
    return status;
}

} // namespace quovix
