#include "fusion/run_setup.h"

#include "fusion/align_inputs.h"
#include "fusion/resolve_depths.h"
#include "imageio/file_format.h"
#include "imageio/icc_profile.h"
#include "imageio/image_reader.h"
#include "imageio/input_prepare.h"
#include "support/file_ops.h"
#include "support/memory.h"
#include "support/open_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <climits>
#include <cmath>
#include <cstdio>
#include <vector>

namespace quovix {

namespace {

// Truncation toward zero; out-of-range and NaN give INT32_MIN, the value the
// processor's own conversion yields, so absurd option values name files
// predictably instead of invoking undefined behaviour.
int32_t truncateToInt(double value)
{
    if (!(value > -2147483649.0 && value < 2147483648.0))
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

int32_t clampToInt32(int64_t value)
{
    return static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

std::string stemOf(const std::string& path)
{
    std::string base = baseName(path);
    size_t dot = base.rfind('.');
    if (dot != std::string::npos)
        base.erase(dot);
    return base;
}

// Bounding box of all input regions.
ImageRegion boundingBox(const ImageRegion* regions, int count)
{
    int64_t minX = 99999999, minY = 99999999, maxX = 0, maxY = 0;
    for (int i = 0; i < count; ++i) {
        const ImageRegion& r = regions[i];
        minX = std::min<int64_t>(minX, r.x);
        minY = std::min<int64_t>(minY, r.y);
        maxX = std::max<int64_t>(maxX, int64_t{r.x} + r.width - 1);
        maxY = std::max<int64_t>(maxY, int64_t{r.y} + r.height - 1);
    }
    ImageRegion box;
    box.x = clampToInt32(minX);
    box.y = clampToInt32(minY);
    box.width = clampToInt32(maxX - minX + 1);
    box.height = clampToInt32(maxY - minY + 1);
    return box;
}

// The preview factor: fitted into the constraint when both sides are given,
// else the --gScale factor; never above 1.
float resolveScaleFactor(FusionRun& run, int inputCount)
{
    if (inputCount == 0)
        return 1.0f;  // no canvas to fit; the run ends for want of images

    const RunSettings& s = run.settings;
    float factor = 1.0f;
    if (s.constrainWidth != 0 && s.constrainHeight != 0) {
        float byWidth = static_cast<float>(s.constrainWidth) / static_cast<float>(run.canvas.width);
        float byHeight = static_cast<float>(s.constrainHeight) / static_cast<float>(run.canvas.height);
        factor = std::min(byWidth, byHeight);
    } else if (s.scaled) {
        factor = s.scaleFactor;
    }
    if (!(factor > 0.0f)) {
        run.console.notice("Invalid scale factor...resetting to 1\n");
        factor = 1.0f;
    }
    if (factor > 1.0f)
        factor = 1.0f;
    return factor;
}

// The bracketing copy of one input in one direction.
Status makeBracketCopy(FusionRun& run, const std::string& input, const ImageInfo& info, int number, int total,
                       float shift)
{
    const RunSettings& s = run.settings;
    run.console.print("[%d/%d] Pre-Processing %s\n", number, total, input.c_str());
    std::string target;
    if (s.scaled) {
        QVX_TRY(run.scratch.ensureCacheFolder());
        target = run.scratch.cacheName(input, s.scaleFactor, shift);
    } else {
        QVX_TRY(run.scratch.ensureRunFolder());
        target = run.scratch.scratchName(input, "exp", truncateToInt(shift * 10.0f));
    }
    run.console.print("Adjusting exposure by %.2f stops\n", shift);
    QVX_TRY(adjustExposure(run, input, info, target, shift, s.scaled ? s.scaleFactor : 1.0f, &target));
    if (s.scaled)
        return appendImage(run.images, target, TypePreviewCache, ScaleScaled);
    return appendImage(run.images, target, TypeExposureAdjusted, ScaleFull);
}

// An existing output that is not a regular file (a device, a FIFO, a
// folder) would be replaced by a regular file when the result is renamed
// into place: refused before any work.
Status refuseSpecialOutput(const std::string& output)
{
    struct stat st{};
    if (stat(output.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return fatalError("Output file " + output + " exists and is not a regular file").withKind(ErrorKind::Output);
    return Status();
}

// The output is written beside its final name and renamed into place: its
// folder must exist and take new files. Found before any work rather than
// after the whole run.
std::string folderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

Status refuseUnwritableOutputFolder(const std::string& output)
{
    const std::string folder = folderOf(output);
    struct stat st{};
    int err = 0;
    if (stat(folder.c_str(), &st) != 0)
        err = errno;
    else if (!S_ISDIR(st.st_mode))
        err = ENOTDIR;
    else if (access(folder.c_str(), W_OK | X_OK) != 0)
        err = errno;
    if (err == 0)
        return Status();
    return Status::failure(kExitIoError, "Cannot write output file " + output + ": folder " + folder + ": " +
                                             std::strerror(err) + "\n", ErrorKind::Output);
}

// A run killed while it wrote (SIGKILL, a crash) leaves its temporaries
// beside the output; the next run into the folder removes them, and says so.
void removeLeftovers(FusionRun& run, const std::string& folder)
{
    const int removed = removeOrphanedTemporaries(folder);
    if (removed > 0)
        run.console.print("Removed %d temporary file%s left in %s by a run that was killed\n", removed,
                          removed == 1 ? "" : "s", folder.c_str());
}

// Writing the output over an input would destroy the photograph before it
// is read; refused before any work.
Status refuseOutputOverInput(const std::string& output, const std::vector<std::string>& inputs)
{
    for (const std::string& input : inputs) {
        if (sameFile(output, input))
            return fatalError("Output file " + output + " is the input file " + input).withKind(ErrorKind::Output);
    }
    return Status();
}

// The depth map is written like the output: refused before any work where
// it would destroy an input or the output, or could not hold the frame
// indices exactly (JPEG).
Status refuseDepthMapPath(const RunSettings& s, const std::vector<std::string>& inputs)
{
    const std::string& path = s.depthMapPath;
    if (hasJpegExtension(path))
        return fatalError("Depth map " + path + ": JPEG would blur the frame indices; name it .tif or .png")
            .withKind(ErrorKind::Usage);
    // Written as TIFF unless named PNG: a name that says another type would
    // mislead.
    if (hasExtension(path) && !hasImageExtension(path))
        return fatalError("Depth map " + path + ": unsupported type (supported: .tif, .tiff, .png)")
            .withKind(ErrorKind::Usage);
    if (!s.outputPath.empty() && sameFile(path, s.outputPath))
        return fatalError("Depth map " + path + " is the output file").withKind(ErrorKind::Output);
    QVX_TRY(refuseSpecialOutput(path));
    if (s.alignOnly.empty())
        QVX_TRY(refuseUnwritableOutputFolder(path));
    for (const std::string& input : inputs) {
        if (sameFile(path, input))
            return fatalError("Depth map " + path + " is the input file " + input).withKind(ErrorKind::Output);
    }
    return Status();
}

// Files a run keeps open at once. The combination opens every image's level
// file and a weight file per weight in use before it reads a row; bracket
// copies are images too. The margin covers the standard streams, the output
// and its temporaries, the workers' own handles of an input and the
// libraries' files.
uint64_t openFilesNeeded(const RunSettings& s, int inputs, int workers)
{
    auto perImage = [](const IterationParams& p) {
        return 1 + (p.exposureWeight > 0.0f) + (p.contrastWeight > 0.0f) + (p.saturationWeight > 0.0f);
    };
    const int perEntry = std::max(perImage(s.iteration1), perImage(s.iteration2));
    const int copies = 1 + (s.plusStops != 0.0f) + (s.minusStops != 0.0f);
    return uint64_t(inputs) * static_cast<uint64_t>(copies * perEntry) + static_cast<uint64_t>(workers) + 64;
}

// The output carries the first input's colour profile and camera metadata.
// Inputs whose profile differs get one warning line naming them; the fusion
// itself is not changed by profiles. A RAW input's profile is the converter's,
// known only when it is converted: a RAW first input's is taken then, and RAW
// inputs are not compared.
void takeFirstInputProfile(FusionRun& run, const std::vector<std::string>& inputs, const std::vector<ImageInfo>& infos)
{
    run.metadataSource = inputs[0];
    if (infos[0].format == FileFormat::Raw) {
        run.profileFromConversion = true;
        return;
    }
    const MetadataStatus first = readIccProfile(inputs[0], run.outputProfile);
    if (!first.ok()) {
        run.console.warn("colour profile not used (%s)", first.detail.c_str());
        run.outputProfile.clear();
    }
    std::string differing;
    for (size_t i = 1; i < inputs.size(); ++i) {
        if (infos[i].format == FileFormat::Raw)
            continue;
        IccProfile profile;
        if (!readIccProfile(inputs[i], profile).ok() || iccProfilesDiffer(run.outputProfile, profile))
            differing += (differing.empty() ? "" : ", ") + inputs[i];
    }
    if (!differing.empty())
        run.console.warn("colour profile differs from the first input's in %s", differing.c_str());
}

// Frames of different sizes without canvas positions are stacked at the
// canvas' top-left corner: right for crops made to be stacked so, a ruined
// result (a collage with empty corners) for a turned or hand-held frame.
void warnUnplacedSizes(FusionRun& run, const std::vector<std::string>& inputs, const std::vector<ImageInfo>& infos)
{
    if (infos.size() < 2 || alignmentWanted(run.settings))
        return;
    const ImageRegion& first = infos[0].region;
    size_t other = 0;
    for (size_t i = 0; i < infos.size(); ++i) {
        const ImageRegion& r = infos[i].region;
        if (r.x != 0 || r.y != 0)
            return;
        if (other == 0 && (r.width != first.width || r.height != first.height))
            other = i;
    }
    if (other == 0)
        return;
    auto size = [](const ImageRegion& r) { return std::to_string(r.width) + "x" + std::to_string(r.height); };
    run.console.warn("inputs differ in size (%s %s, %s %s): placed at the top-left of a %s canvas; "
                     "for hand-held frames use --align",
                     inputs[0].c_str(), size(first).c_str(), inputs[other].c_str(), size(infos[other].region).c_str(),
                     size(run.canvas).c_str());
}

} // namespace

std::string makeOutputName(const RunSettings& s, const std::string& firstPath, const std::string& lastPath)
{
    const IterationParams& it = s.iteration2;
    const CurveParams& c = s.curve;
    auto weight = [](float w) { return truncateToInt(static_cast<double>(w * 100.0f)); };
    auto curve = [](float v) { return truncateToInt(static_cast<double>(v) * 10.00001); };
    const std::string first = stemOf(firstPath);
    const std::string last = stemOf(lastPath);
    const char* format = "%s-%s_fused_l%d_e%d_c%d_s%d_br%02d_co%02d_sh%02d_hi%02d_fs%02d_fh%02d.%s";
    const char* extension = s.scaled ? "jpg" : "tif";
    int length = std::snprintf(nullptr, 0, format, first.c_str(), last.c_str(), s.levelCount,
                               weight(it.exposureWeight), weight(it.contrastWeight), weight(it.saturationWeight),
                               curve(c.brightness), curve(c.contrast), curve(c.shadows), curve(c.highlights),
                               curve(c.floorShadow), curve(c.floorHighlight), extension);
    std::vector<char> name(static_cast<size_t>(length) + 1);
    std::snprintf(name.data(), name.size(), format, first.c_str(), last.c_str(), s.levelCount,
                  weight(it.exposureWeight), weight(it.contrastWeight), weight(it.saturationWeight),
                  curve(c.brightness), curve(c.contrast), curve(c.shadows), curve(c.highlights),
                  curve(c.floorShadow), curve(c.floorHighlight), extension);
    return name.data();
}

namespace {

// An output named (or made up) for the run must be a file the run may write.
Status refuseBadOutput(const RunSettings& s, const std::vector<std::string>& inputs)
{
    QVX_TRY(refuseSpecialOutput(s.outputPath));
    if (s.alignOnly.empty())
        QVX_TRY(refuseUnwritableOutputFolder(s.outputPath));
    return refuseOutputOverInput(s.outputPath, inputs);
}

// Every input classified, with its region in `regions`; `maxBits` the deepest
// input's bits per sample.
Status classifyInputs(FusionRun& run, const std::vector<std::string>& inputs, std::vector<ImageInfo>& infos,
                      ImageRegion* regions, int& maxBits)
{
    maxBits = 0;
    for (size_t i = 0; i < inputs.size(); ++i) {
        QVX_TRY(run.checkCancel());
        QVX_TRY(queryImageInfo(run, inputs[i], infos[i]));
        regions[i] = infos[i].region;
        maxBits = std::max(maxBits, infos[i].bitsPerSample);
    }
    return Status();
}

// The canvas bounding every input, scaled by the run's scale factor (a factor
// that leaves nothing is reset to 1).
Status settleCanvas(FusionRun& run, const std::vector<std::string>& inputs, const std::vector<ImageInfo>& infos,
                    const ImageRegion* regions)
{
    const int n = static_cast<int>(inputs.size());
    run.canvas = boundingBox(regions, n);
    warnUnplacedSizes(run, inputs, infos);
    float factor = resolveScaleFactor(run, n);
    ImageRegion scaledCanvas = run.canvas;
    scaleRegion(scaledCanvas, factor);
    if (n > 0 && (scaledCanvas.width < 1 || scaledCanvas.height < 1)) {
        // A factor that shrinks the canvas to nothing leaves no image to fuse.
        run.console.notice("Invalid scale factor...resetting to 1\n");
        factor = 1.0f;
        scaledCanvas = run.canvas;
        scaleRegion(scaledCanvas, factor);
    }
    run.settings.scaleFactor = factor;
    run.canvas = scaledCanvas;
    if (n > 0 && int64_t{run.canvas.width} * run.canvas.height > kMaxImagePixels) {
        // Small inputs placed far apart would still need a canvas-sized buffer.
        return Status::failure(kExitIoError, "Canvas of " + std::to_string(run.canvas.width) + "x" +
                                                 std::to_string(run.canvas.height) +
                                                 " pixels out of range (inputs placed too far apart)\n");
    }
    return Status();
}

// The image list: every input, between its darker and brighter bracketing
// copies when asked for, each entry marked with the input it was made from.
Status listInputs(FusionRun& run, const std::vector<std::string>& inputs, const std::vector<ImageInfo>& infos)
{
    const RunSettings& s = run.settings;
    const int n = static_cast<int>(inputs.size());
    const bool plus = s.plusStops != 0.0f;
    const bool minus = s.minusStops != 0.0f;
    const int perInput = 1 + (plus ? 1 : 0) + (minus ? 1 : 0);
    createImageList(clampToInt32(int64_t{perInput} * n), run.images);
    auto madeFrom = [&](int input, bool copy) {
        ImageEntry& entry = run.images.entries.back();
        entry.input = input;
        entry.bracketCopy = copy;
    };
    for (int i = 0; i < n; ++i) {
        const std::string& input = inputs[static_cast<size_t>(i)];
        const ImageInfo& info = infos[static_cast<size_t>(i)];
        QVX_TRY(run.checkCancel());
        if (minus) {
            QVX_TRY(makeBracketCopy(run, input, info, i + 1, n, s.minusStops));
            madeFrom(i, true);
        }
        QVX_TRY(appendImage(run.images, input, TypeInput, ScaleFull, info));
        madeFrom(i, false);
        if (plus) {
            QVX_TRY(makeBracketCopy(run, input, info, i + 1, n, s.plusStops));
            madeFrom(i, true);
        }
    }
    return Status();
}

// Output depth and pyramid depth, once the canvas is final.
void settleDepths(FusionRun& run, int maxBits)
{
    std::string notice;
    run.depths = resolveDepths(run.settings, run.canvas, maxBits, notice);
    if (!notice.empty())
        run.console.notice("%s", notice.c_str());
}

} // namespace

Status setupRun(FusionRun& run, const std::vector<std::string>& inputs)
{
    RunSettings& s = run.settings;
    if (s.converterPath.empty())
        s.converterPath = "dcraw";
    if (!s.outputPath.empty())
        QVX_TRY(refuseBadOutput(s, inputs));
    if (!s.depthMapPath.empty())
        QVX_TRY(refuseDepthMapPath(s, inputs));
    if (!s.alignOnly.empty())
        QVX_TRY(prepareAlignOnlyFolder(s.alignOnly));
    // The output's folder when named (an unnamed output goes to the current
    // folder), or the folder of --alignOnly.
    if (!s.alignOnly.empty())
        removeLeftovers(run, s.alignOnly);
    else
        removeLeftovers(run, s.outputPath.empty() ? "." : folderOf(s.outputPath));

    const int n = static_cast<int>(inputs.size());
    QVX_TRY(ensureOpenFileLimit(openFilesNeeded(s, n, run.pool.workers()),
                                "Fusing " + std::to_string(n) + " images"));
    HeapBuffer<ImageRegion> regions;
    QVX_TRY(regions.allocate(run.console, static_cast<size_t>(n)));
    std::vector<ImageInfo> infos(static_cast<size_t>(n));
    int maxBits = 0;
    QVX_TRY(classifyInputs(run, inputs, infos, regions.get(), maxBits));
    if (!s.noMetadata && n > 0)
        takeFirstInputProfile(run, inputs, infos);
    QVX_TRY(settleCanvas(run, inputs, infos, regions.get()));

    QVX_TRY(listInputs(run, inputs, infos));
    if (s.verbosity > 0) {
        run.console.print("Input file list:\n");
        printImageList(run.console, run.images, s.verbosity);
        run.console.print("\n\n");
    }
    if (s.outputPath.empty() && run.images.count() > 0) {
        s.outputPath = makeOutputName(s, run.images[0].path, run.images.entries.back().path);
        QVX_TRY(refuseBadOutput(s, inputs));
    }
    run.inputsGiven = n;
    run.inputPosition.resize(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        run.inputPosition[static_cast<size_t>(i)] = i;
    // Before the levels: cropping to the aligned frames' common area shrinks the canvas.
    if (alignmentWanted(s) && n > 0)
        QVX_TRY(alignInputs(run, inputs));
    settleDepths(run, maxBits);
    regions.reset();

    if (run.images.count() == 0)
        return fatalError("Not enough images specified for fusion");
    return Status();
}

} // namespace quovix
