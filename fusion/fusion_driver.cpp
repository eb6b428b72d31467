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
    const double reference = (k >= 0 && k < list.count()) ? list[k].exposure : 0.0;
    int best = -1;
    double bestDiff = 99999.0;
    for (int i = 0; i < list.count(); ++i) {
        if (i == k || list[i].group != 0)
            continue;
        double d = list[i].exposure - reference;
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
    for (const ImageEntry& entry : list) {
        if (entry.type == type && std::remove(entry.path.c_str()) != 0)
            console.notice("Cannot remove %s\n", entry.path.c_str());
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

// How the depth map numbers the frames of `set` (index i as number[i] of
// the returned count). When alignment left inputs out and `set` holds just
// the inputs that stay, in order, each keeps its place among the inputs
// given, so a value means the same frame whether or not another could be
// aligned. Otherwise (nothing left out, or a group of a bracket, where the
// place of a left-out frame is not known) the set's own order.
int depthNumbers(const FusionRun& run, const ImageList& set, std::vector<int>& number)
{
    number.clear();
    const size_t kept = run.inputPosition.size();
    if (run.inputsGiven <= static_cast<int>(kept) || static_cast<size_t>(set.count()) != kept)
        return set.count();
    for (size_t k = 0; k < kept; ++k) {
        const ImageEntry& entry = set[static_cast<int32_t>(k)];
        if (entry.input != static_cast<int32_t>(k) || entry.bracketCopy)
            return set.count();
    }
    number = run.inputPosition;
    return run.inputsGiven;
}

// One fusion of a set: by selection of the sharpest frame, or by the
// iteration's weights and mode. With `mapped`, the depth map shows its
// choice at every pixel.
Status fuseSet(FusionRun& run, const ImageList& set, int levels, const IterationParams& it, bool select, bool mapped,
               const std::string& path, bool applyLevels)
{
    const RunSettings& s = run.settings;
    std::vector<int> number;
    const int numbered = mapped ? depthNumbers(run, set, number) : 0;
    PageBuffer<uint16_t> chosen;
    if (select) {
        run.console.print("Selecting the sharpest of %d frames at every pixel\n", set.count());
        QVX_TRY(chooseSharpestFrames(run, set, chosen));
        if (mapped)
            QVX_TRY(writeDepthMap(run, s.depthMapPath, chosen.get(), numbered, number));
        QVX_TRY(writeSelectionWeights(run, set, levels, chosen.get()));
        chosen.reset();
    } else if (mapped) {
        QVX_TRY(chosen.allocate(run.console, static_cast<size_t>(run.canvas.width) * run.canvas.height));
    }
    QVX_TRY(fuseImageSet(run, set, levels, it.contrastWeight, it.exposureWeight, it.saturationWeight, it.mode, path,
                         applyLevels, select, chosen.get()));
    if (mapped && !select)
        QVX_TRY(writeDepthMap(run, s.depthMapPath, chosen.get(), numbered, number));
    return Status();
}

// Group g of the first iteration fused into its result file, which joins
// `groupResults`. `groupIsOutput`: the only group, whose result is the output;
// `mapped`: the group the depth map shows.
Status fuseGroup(FusionRun& run, int g, bool groupIsOutput, bool mapped, ImageList& groupResults)
{
    const RunSettings& s = run.settings;
    const ImageList& images = run.images;
    int members = 0;
    for (const ImageEntry& entry : images) {
        if (entry.group == static_cast<uint32_t>(g))
            ++members;
    }
    ImageList group;
    createImageList(members, group);
    for (int i = 0; i < images.count(); ++i) {
        if (images[i].group == static_cast<uint32_t>(g))
            QVX_TRY(appendImageCopy(group, images, i));
    }
    const std::string path = run.scratch.scratchName("fcsblend", "t", g);
    const bool applyLevels = groupIsOutput && s.levelsAdjust.enabled;
    // Selection replaces the focus blending of iteration 1.
    const int levels = run.depths.levelCount;
    const Status fused =
        fuseSet(run, group, levels, s.iteration1, s.focusMode == FocusMode::Select, mapped, path, applyLevels);
    if (!s.debugKeep)
        run.levelFiles.remove(group, levels);
    // The group result shows a moving object where every member did.
    const Status merged = fused.ok() && !groupIsOutput ? mergeGroupMask(run, group, path) : Status();
    QVX_TRY(merged);
    // The only group's result is the output: an incomplete one must not
    // replace it.
    if (groupIsOutput && !fused.ok() && fused.unwrittenFile() == path)
        return Status::failure(kExitIoError, "Error writing output file " + s.outputPath + "\n", ErrorKind::Output);
    QVX_TRY(fused);
    // Group results are the program's own files: classified when analysed.
    return appendImage(groupResults, path, TypeFocusBlended, s.scaled ? ScaleScaled : ScaleFull);
}

// The group of `groups` the depth map shows: the largest (the first of equal
// ones); 0 when no map is asked for.
int mappedGroupOf(const FusionRun& run, int groups)
{
    if (run.settings.depthMapPath.empty())
        return 0;
    const ImageList& images = run.images;
    std::vector<int> members(static_cast<size_t>(groups) + 1, 0);
    for (const ImageEntry& entry : images)
        ++members[entry.group];
    int mapped = 0;
    for (int g = 1; g <= groups; ++g) {
        if (mapped == 0 || members[g] > members[mapped])
            mapped = g;
    }
    return mapped;
}

// The first iteration: entries of similar exposure fused a group at a time.
// `groupIsOutput` tells when the one group holds every entry, `mappedGroup`
// which group the depth map shows (0: the final fusion).
Status fuseSimilarGroups(FusionRun& run, ImageList& groupResults, bool& groupIsOutput, int& mappedGroup)
{
    const RunSettings& s = run.settings;
    ImageList& images = run.images;
    const int groups = groupSimilarExposures(run, images);
    int ungrouped = 0;
    for (const ImageEntry& entry : images) {
        if (entry.group == 0)
            ++ungrouped;
    }
    // Grouped entries fused once; then, unless one group is the output,
    // each group result analysed and fused with the ungrouped entries.
    const bool oneGroupOnly = ungrouped == 0 && groups == 1;
    run.progress.expect(pyramidPixels(run.canvas.width, run.canvas.height, run.depths.levelCount) *
                        (images.count() - ungrouped + (oneGroupOnly ? 0 : 2 * groups + ungrouped)));
    mappedGroup = mappedGroupOf(run, groups);
    if (groups == 0) {
        run.console.print("Iteration 1: No similar exposures found\n");
        return Status();
    }
    run.console.print("Iteration 1: %d images remain to be fused in %d groups\n", images.count(), groups);
    if (s.verbosity > 0)
        printImageList(run.console, images, s.verbosity);
    groupIsOutput = oneGroupOnly;
    for (int g = 1; g <= groups; ++g)
        QVX_TRY(fuseGroup(run, g, groupIsOutput, g == mappedGroup, groupResults));
    return Status();
}

// The second iteration: the group results analysed and fused with the
// ungrouped entries into the output.
Status fuseIntoOutput(FusionRun& run, ImageList& groupResults, int mappedGroup)
{
    const RunSettings& s = run.settings;
    const ImageList& images = run.images;
    const int levels = run.depths.levelCount;
    QVX_TRY(analyseImages(run, groupResults, levels));
    for (int i = 0; i < images.count(); ++i) {
        if (images[i].group == 0)
            QVX_TRY(appendImageCopy(groupResults, images, i));
    }
    run.console.print("Iteration 2: %d images remain to be fused\n", groupResults.count());
    // Selection replaces the focus blending of the only pass.
    const bool select = s.focusMode == FocusMode::Select && s.iterationCount == 1;
    const Status result = fuseSet(run, groupResults, levels, s.iteration2, select,
                                  !s.depthMapPath.empty() && mappedGroup == 0, s.outputPath, s.levelsAdjust.enabled);
    if (!s.debugKeep) {
        run.levelFiles.remove(groupResults, levels);
        if (!s.keepGroupResults)
            removeEntriesOfType(run.console, groupResults, TypeFocusBlended);
    }
    return result;
}

// The iterations themselves; runFusion removes the run's copies afterwards,
// whatever the outcome.
Status fuseIterations(FusionRun& run)
{
    const RunSettings& s = run.settings;
    ImageList groupResults;
    createImageList(run.images.capacity, groupResults);
    bool groupIsOutput = false;
    int mappedGroup = 0;
    if (s.iterationCount != 1)
        QVX_TRY(fuseSimilarGroups(run, groupResults, groupIsOutput, mappedGroup));
    if (!groupIsOutput)
        return fuseIntoOutput(run, groupResults, mappedGroup);
    run.console.print("Iteration 2: No images remain to be fused\n");
    return installGroupResult(run, groupResults[0].path, s.outputPath);
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
            if (exposuresSimilar(run.settings.exposureThreshold, list[anchor].exposure, list[next].exposure)) {
                if (run.settings.verbosity > 0)
                    run.console.print("  Similar...assigning group ID %d\n", static_cast<int>(id));
                list[index].group = id;
                list[next].group = id;
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
