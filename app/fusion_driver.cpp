#include "app/fusion_driver.h"

#include "analysis/analyse_images.h"
#include "fusion/fuse_image_set.h"
#include "imageio/jpeg_io.h"
#include "support/console.h"
#include "support/memory.h"
#include "support/scratch_files.h"
#include "support/settings.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

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

void removeEntriesOfType(const ImageList& list, int type)
{
    for (int i = 0; i <= list.last; ++i) {
        if (list.type[i] == type && std::remove(list.paths[i]) != 0)
            std::printf("Cannot remove %s\n", list.paths[i]);
    }
}

bool copyFile(const std::string& source, const std::string& target)
{
    FILE* in = std::fopen(source.c_str(), "rb");
    if (in == nullptr)
        return false;
    FILE* out = std::fopen(target.c_str(), "wb");
    if (out == nullptr) {
        int err = errno;
        std::fclose(in);
        errno = err;
        return false;
    }
    constexpr size_t kChunk = 1 << 16;
    HeapBuffer<char> chunk(kChunk);
    bool ok = true;
    size_t got = 0;
    while ((got = std::fread(chunk.get(), 1, kChunk, in)) > 0) {
        if (std::fwrite(chunk.get(), 1, got, out) != got) {
            ok = false;
            break;
        }
    }
    int err = errno;
    if (std::ferror(in))
        ok = false;
    std::fclose(in);
    if (std::fclose(out) != 0)
        ok = false;
    errno = err;
    return ok;
}

// Moves the result of the only group onto the output name. The scratch folder
// is usually on another file system, so a plain rename may not do: the result
// is then copied beside the output and renamed into place, so the output name
// only ever shows the previous file or the complete new one.
bool installGroupResult(const std::string& source, const std::string& target)
{
    if (std::rename(source.c_str(), target.c_str()) == 0)
        return true;
    std::string temp = reserveTempBeside(target);
    bool ok = !temp.empty() && copyFile(source, temp) && syncFile(temp) &&
              std::rename(temp.c_str(), target.c_str()) == 0;
    int err = errno;
    if (!ok) {
        if (!temp.empty())
            std::remove(temp.c_str());
        std::printf("Error writing output file %s: %s\n", target.c_str(), std::strerror(err));
        return false;
    }
    std::remove(source.c_str());
    return true;
}

// Copies made for this run (exposure-shifted inputs, converted RAW files) go
// in every case, also under -d.
void removeRunCopies()
{
    removeEntriesOfType(gImages, TypeExposureAdjusted);
    removeEntriesOfType(gImages, TypeConvertedFromRaw);
}

[[noreturn]] void failRun(ImageList& groupResults)
{
    removeRunCopies();
    releaseImageList(groupResults);
    endProcess(kExitIoError);
}

} // namespace

int nextBrighter(const ImageList& list, int k)
{
    return scanBrighter(list, k, false);
}

bool exposuresSimilar(double a, double b)
{
    if (a == 0.0 && b == 0.0)
        return true;
    double hi = a > b ? a : b;
    double lo = a > b ? b : a;
    return static_cast<double>(gSettings.exposureThreshold) > hi / lo - 1.0;
}

int groupSimilarExposures(ImageList& list)
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
            if (exposuresSimilar(list.exposure[anchor], list.exposure[next])) {
                if (gSettings.verbosity > 0)
                    std::printf("  Similar...assigning group ID %d\n", static_cast<int>(id));
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

int runFusion()
{
    const RunSettings& s = gSettings;
    const int levels = s.levelCount;
    ImageList groupResults = createImageList(gImages.capacity);
    int applyLevelsInGroup = 0;
    int result = 0;
    bool groupIsOutput = false;

    if (s.iterationCount != 1) {
        const int groups = groupSimilarExposures(gImages);
        int ungrouped = 0;
        for (int i = 0; i <= gImages.last; ++i) {
            if (gImages.group[i] == 0)
                ++ungrouped;
        }
        if (groups == 0) {
            std::printf("Iteration 1: No similar exposures found\n");
        } else {
            std::printf("Iteration 1: %d images remain to be fused in %d groups\n", gImages.count(), groups);
            if (s.verbosity > 0)
                printImageList(gImages, s.verbosity);
            groupIsOutput = ungrouped == 0 && groups == 1;
            for (int g = 1; g <= groups; ++g) {
                int members = 0;
                for (int i = 0; i <= gImages.last; ++i) {
                    if (gImages.group[i] == static_cast<uint32_t>(g))
                        ++members;
                }
                ImageList group = createImageList(members);
                for (int i = 0; i <= gImages.last; ++i) {
                    if (gImages.group[i] == static_cast<uint32_t>(g))
                        appendImageCopy(group, gImages, i);
                }
                const std::string path = scratchName("fcsblend", "t", g);
                if (groupIsOutput)
                    applyLevelsInGroup = s.levelsAdjust.enabled ? 1 : 0;
                const int fused = fuseImageSet(group, levels, s.iteration1.contrastWeight, s.iteration1.exposureWeight,
                                               s.iteration1.saturationWeight, s.iteration1.mode, path,
                                               applyLevelsInGroup);
                if (!s.debugKeep)
                    removeLevelScratch(group, levels);
                releaseImageList(group);
                // The only group's result is the output: an incomplete one must
                // not replace it.
                if (groupIsOutput && fused != 0) {
                    std::printf("Error writing output file %s\n", s.outputPath.c_str());
                    failRun(groupResults);
                }
                appendImage(groupResults, path, TypeFocusBlended, s.scaled ? ScaleScaled : ScaleFull);
            }
        }
    }

    if (groupIsOutput) {
        std::printf("Iteration 2: No images remain to be fused\n");
        if (!installGroupResult(groupResults.paths[0], s.outputPath))
            failRun(groupResults);
    } else {
        analyseImages(groupResults, levels);
        for (int i = 0; i <= gImages.last; ++i) {
            if (gImages.group[i] == 0)
                appendImageCopy(groupResults, gImages, i);
        }
        std::printf("Iteration 2: %d images remain to be fused\n", groupResults.count());
        result = fuseImageSet(groupResults, levels, s.iteration2.contrastWeight, s.iteration2.exposureWeight,
                              s.iteration2.saturationWeight, s.iteration2.mode, s.outputPath,
                              s.levelsAdjust.enabled ? 1 : 0);
        if (!s.debugKeep) {
            removeLevelScratch(groupResults, levels);
            if (!s.keepGroupResults)
                removeEntriesOfType(groupResults, TypeFocusBlended);
        }
        if (result != 0)
            failRun(groupResults);
    }

    if (s.scaled || hasJpegExtension(s.outputPath)) {
        if (exportOutputAsJpeg() != 0)
            failRun(groupResults);
    }
    removeRunCopies();
    releaseImageList(groupResults);
    return result;
}
