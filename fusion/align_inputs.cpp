#include "fusion/align_inputs.h"

#include "alignment/alignment.h"
#include "fusion/canvas_frame.h"
#include "imageio/input_prepare.h"
#include "imageio/tiff_io.h"
#include "support/file_ops.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

namespace quovix {

namespace {

using align::Homography;

// Rows warped per strip are chosen by the TIFF writer; this only bounds the
// row-by-row writer of traced runs.
constexpr int kWarpBandRows = 64;

align::MotionModel motionModel(AlignModel model)
{
    return static_cast<align::MotionModel>(static_cast<int>(model));
}

bool isIdentity(const Homography& h)
{
    return h == align::identityHomography();
}

// Farther than this from identity at some corner, a transform resamples the
// frame: nearer, resampling would only soften it for no visible gain. The
// estimates of frames registered exactly scatter by about a tenth of a pixel
// at the corners (more between frames focused differently), so the bound
// stands above that scatter.
constexpr double kIdentityTolerancePx = 0.25;

bool nearIdentity(const Homography& h, int width, int height)
{
    for (const double x : {0.0, width - 1.0})
        for (const double y : {0.0, height - 1.0}) {
            double mx = 0.0, my = 0.0;
            if (!align::mapPoint(h, x, y, mx, my) || std::hypot(mx - x, my - y) >= kIdentityTolerancePx)
                return false;
        }
    return true;
}

Homography translation(double dx, double dy)
{
    return {1.0, 0.0, dx, 0.0, 1.0, dy, 0.0, 0.0, 1.0};
}

std::string stemOf(const std::string& path)
{
    std::string base = baseName(path);
    const size_t dot = base.rfind('.');
    if (dot != std::string::npos && dot > 0)
        base.erase(dot);
    return base;
}

// One aligned copy to write: which entry, where, and how it is placed.
struct CopyJob {
    int entry = 0;
    std::string path;
    bool scratch = true;  // a run copy (else a file of --alignOnly)
};

// What the step settled for every input.
struct Transforms {
    std::vector<Homography> toReference;  // canvas pixels of the input -> of the reference
    std::vector<ImageRegion> present;     // where each input lies on the canvas
    std::vector<bool> failed;             // estimated, but could not be aligned
};

// A transform file holds one line of a path and nine numbers per input: a
// few hundred bytes each. Only regular files of a sane size are read, so a
// device, a FIFO or a huge file neither blocks the run nor fills memory.
Status readTextFile(const std::string& path, size_t inputCount, std::string& text)
{
    const int64_t limit = (int64_t{1} << 20) + int64_t{16384} * static_cast<int64_t>(inputCount);
    struct stat st{};
    if (stat(path.c_str(), &st) != 0)
        return fatalError("Cannot read alignment file " + path + ": " + std::strerror(errno))
            .withKind(ErrorKind::Input);
    if (!S_ISREG(st.st_mode))
        return fatalError("Cannot read alignment file " + path + ": not a regular file").withKind(ErrorKind::Input);
    if (st.st_size > limit)
        return fatalError("Cannot read alignment file " + path + ": " + std::to_string(st.st_size) +
                          " bytes, more than a transform file of " + std::to_string(inputCount) +
                          " inputs can hold (" + std::to_string(limit) + ")").withKind(ErrorKind::Input);
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return fatalError("Cannot read alignment file " + path + ": " + std::strerror(errno))
            .withKind(ErrorKind::Input);
    text.assign(static_cast<size_t>(st.st_size), '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    // A file that grew while read is cut at the size checked.
    if (in.bad() || static_cast<size_t>(in.gcount()) != text.size())
        return fatalError("Cannot read alignment file " + path).withKind(ErrorKind::Input);
    return Status();
}

Status writeTextFile(const std::string& path, const std::string& text)
{
    const std::string temp = reserveTempBeside(path);
    FILE* file = temp.empty() ? nullptr : std::fopen(temp.c_str(), "wb");
    bool ok = file != nullptr && std::fwrite(text.data(), 1, text.size(), file) == text.size();
    int err = errno;
    if (file != nullptr && std::fclose(file) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && !commitTemp(temp, path)) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        if (!temp.empty())
            std::remove(temp.c_str());
        return Status::failure(kExitIoError, "Cannot write alignment file " + path + ": " + std::strerror(err) + "\n",
                               ErrorKind::Output);
    }
    return Status();
}

// The preview factor maps full-size transforms (as files hold them) to the
// run's canvas and back. Preview shrinking takes every pixel from the full
// size one at (x / factor, y / factor), so the coordinates scale as they are;
// a full-size run uses the transforms unchanged.
Homography scaled(const Homography& h, double factor)
{
    if (factor == 1.0)
        return h;
    const Homography to = {factor, 0.0, 0.0, 0.0, factor, 0.0, 0.0, 0.0, 1.0};
    const Homography from = {1.0 / factor, 0.0, 0.0, 0.0, 1.0 / factor, 0.0, 0.0, 0.0, 1.0};
    return align::multiply(to, align::multiply(h, from));
}

Homography fromFullSize(const Homography& h, float factor)
{
    return scaled(h, factor);
}

Homography toFullSize(const Homography& h, float factor)
{
    return factor == 1.0f ? h : scaled(h, 1.0 / factor);
}

std::string formatted(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string formatted(const char* pattern, ...)
{
    va_list args;
    va_start(args, pattern);
    char buffer[1024];
    std::vsnprintf(buffer, sizeof buffer, pattern, args);
    va_end(args);
    return buffer;
}

std::string motionLine(const FusionRun& run, const char* verb, const std::string& path, const Homography& h)
{
    const align::MotionSummary m = align::summarizeMotion(h, run.canvas.width, run.canvas.height);
    // Rounded first, so that a tiny negative value does not print as "-0.000".
    auto rounded = [](double v) { return std::round(v * 1000.0) / 1000.0 + 0.0; };
    // A loaded matrix may mirror or collapse the frame, which no rotation
    // and scale describe.
    return formatted("  %s %s: shift %.2f px, rotation %.3f degrees, scale %+.3f%%%s", verb, path.c_str(),
                     m.shiftPx, rounded(m.rotationDeg), rounded((m.scale - 1.0) * 100.0),
                     m.orientationKept ? "" : ", mirrored or collapsed");
}

// Lines printed once the progress line is complete.
using Report = std::vector<std::string>;

Status saveTransforms(FusionRun& run, const std::vector<std::string>& inputs, const Transforms& t)
{
    std::vector<align::TransformEntry> entries(inputs.size());
    for (size_t i = 0; i < inputs.size(); ++i)
        entries[i] = {inputs[i], toFullSize(t.toReference[i], run.settings.scaleFactor)};
    std::string text, error;
    if (!align::formatTransforms(entries, text, error))
        return fatalError("Cannot write alignment file " + run.settings.alignSave + ": " + error)
            .withKind(ErrorKind::Output);
    return writeTextFile(run.settings.alignSave, text);
}

// The chaining rule and the thread count are the run's; the rest are the
// alignment's defaults.
align::AlignOptions estimationOptions(const FusionRun& run, int reference)
{
    const RunSettings& s = run.settings;
    align::AlignOptions o;
    o.model = motionModel(s.alignModel);
    o.referenceIndex = reference;
    o.chainWhenEvenlyExposed = true;
    o.threads = run.pool.workers();
    // An invalid gamma is reset by the settings check, which runs later.
    o.gamma = (s.gamma >= 0.5f && s.gamma <= 10.0f) ? s.gamma : 2.2;
    return o;
}

Status estimateTransforms(FusionRun& run, const std::vector<std::string>& inputs, int reference, Transforms& t,
                          Report& report)
{
    const int n = static_cast<int>(inputs.size());
    const std::vector<int32_t> inputEntry = inputEntries(run.images);
    Status readFailure;
    auto loader = [&](int index, align::LoadedFrame& frame, std::string& error) {
        if (readFailure.ok())
            readFailure = run.checkCancel();
        if (!readFailure.ok()) {
            error = "not read";
            return false;
        }
        readFailure = readCanvasFrame(run, run.images, inputEntry[static_cast<size_t>(index)], SampleRange::Full,
                                      frame, &t.present[static_cast<size_t>(index)]);
        run.console.print(".");
        if (!readFailure.ok()) {
            error = "not read";
            return false;
        }
        return true;
    };
    const align::AlignmentResult result = align::estimateAlignment(n, loader, estimationOptions(run, reference));
    // An unreadable input ends the run as it would in the analysis.
    QVX_TRY(readFailure);
    if (!result.ok)
        return fatalError("Alignment failed: " + result.error);

    for (int i = 0; i < n; ++i) {
        const align::FrameEstimate& f = result.frames[static_cast<size_t>(i)];
        const std::string& path = inputs[static_cast<size_t>(i)];
        if (i == result.referenceIndex) {
            if (run.settings.verbosity > 0)
                report.push_back("  Reference " + path + "\n");
        } else if (!f.ok) {
            // Fused misregistered, a frame would double every edge it shows.
            const bool leftOut = run.settings.alignOnly.empty() && !run.settings.alignKeepFailed;
            report.push_back("Warning: cannot align " + path + " (" + f.failure + "); " +
                             (leftOut                            ? "left out of the fusion"
                              : run.settings.alignOnly.empty() ? "fused unaligned"
                                                                 : "written unaligned") +
                             "\n");
            t.failed[static_cast<size_t>(i)] = leftOut;
        } else if (run.settings.verbosity > 0) {
            report.push_back(motionLine(run, "Aligned", path, f.toReference) +
                             formatted(", residual %.2f px", f.medianResidualPx) +
                             (f.directKept ? ", matched to the reference directly" : "") +
                             (nearIdentity(f.toReference, run.canvas.width, run.canvas.height)
                                  ? ", within 0.25 px of the reference: not resampled\n"
                                  : "\n"));
        }
        const bool moved = f.ok && !nearIdentity(f.toReference, run.canvas.width, run.canvas.height);
        t.toReference[static_cast<size_t>(i)] = moved ? f.toReference : align::identityHomography();
    }
    return Status();
}

// The canvas part every input covers once aligned; the whole canvas when
// they share none (with a warning).
ImageRegion commonArea(FusionRun& run, const Transforms& t, Report& report)
{
    const ImageRegion& canvas = run.canvas;
    std::vector<align::FramePlacement> frames;
    for (size_t i = 0; i < t.toReference.size(); ++i) {
        if (t.failed[i])
            continue;
        const ImageRegion& r = t.present[i];
        frames.push_back({align::multiply(t.toReference[i], translation(r.x, r.y)), r.width, r.height});
    }
    const align::CropRect crop = align::commonCrop(frames, canvas.width, canvas.height);
    if (crop.width <= 0 || crop.height <= 0) {
        report.push_back("Warning: the aligned images share no area; not cropped\n");
        return {0, 0, canvas.width, canvas.height};
    }
    return {crop.x, crop.y, crop.width, crop.height};
}

// Writes entry job.entry warped by h onto `area` of the canvas as 16-bit RGBA.
Status writeAlignedCopy(FusionRun& run, const CopyJob& job, const Homography& h, const ImageRegion& area,
                        SampleRange range)
{
    align::LoadedFrame frame;
    QVX_TRY(readCanvasFrame(run, run.images, job.entry, range, frame));
    const align::Frame16 source{frame.pixels.data(), frame.width, frame.height, frame.channels,
                                static_cast<size_t>(frame.width) * static_cast<size_t>(frame.channels)};
    const Homography onArea = align::multiply(translation(-area.x, -area.y), h);
    ImageRegion position = run.canvas;
    position.x += area.x;
    position.y += area.y;
    position.width = area.width;
    position.height = area.height;
    TiffLayout layout{area.width, area.height, 8, position};
    layout.scratch = job.scratch;

    // Files of --alignOnly are the user's: written beside their name and
    // renamed into place only when complete, so an interrupted or failed
    // write never leaves a truncated file where a previous one stood.
    std::string path = job.path;
    if (!job.scratch) {
        path = reserveTempBeside(job.path);
        if (path.empty())
            return Status::failure(kExitIoError,
                                   "Cannot write aligned image " + job.path + ": " + std::strerror(errno) + "\n");
    }
    std::mutex failureLock;
    std::string failure;
    // Lanczos rather than bicubic: on sub-pixel motions of real photographs it
    // keeps 2 to 14 % more gradient energy and about 1 dB, for a warp about
    // 2.4 times slower.
    const Status written = writeTiffRows(run, path, layout,
                          [&](int firstRow, int rowCount, uint8_t* out) {
                              std::string error;
                              if (align::warpRows(source, onArea, area.width, area.height, firstRow,
                                                  firstRow + rowCount, align::WarpKernel::Lanczos,
                                                  reinterpret_cast<uint16_t*>(out), error))
                                  return;
                              std::memset(out, 0, static_cast<size_t>(rowCount) * area.width * 8);
                              std::lock_guard<std::mutex> lock(failureLock);
                              failure = error;
                          },
                          static_cast<size_t>(area.width) * 8 * kWarpBandRows);
    if (!written.ok() || !failure.empty()) {
        std::remove(path.c_str());
        if (!written.ok())
            return written;
        return fatalError("Cannot align " + std::string(run.images[job.entry].shown()) + ": " + failure);
    }
    if (!job.scratch && !commitTemp(path, job.path))
        return Status::failure(kExitIoError,
                               "Cannot write aligned image " + job.path + ": " + std::strerror(errno) + "\n");
    return Status();
}

// The files --alignOnly writes: <folder>/<input stem>_aligned.tif, refused
// when one would replace an input or two inputs would share a name.
Status alignOnlyTargets(FusionRun& run, const std::vector<std::string>& inputs, std::vector<std::string>& targets)
{
    const std::string& folder = run.settings.alignOnly;
    QVX_TRY(prepareAlignOnlyFolder(folder));
    targets.clear();
    for (size_t i = 0; i < inputs.size(); ++i) {
        const std::string target = folder + "/" + stemOf(inputs[i]) + "_aligned.tif";
        for (const std::string& input : inputs)
            if (sameFile(target, input))
                return fatalError("Aligned image " + target + " would replace the input " + input)
                    .withKind(ErrorKind::Output);
        for (size_t k = 0; k < i; ++k)
            if (targets[k] == target)
                return fatalError("Inputs " + inputs[k] + " and " + inputs[i] + " would both be aligned into " +
                                  target).withKind(ErrorKind::Output);
        targets.push_back(target);
    }
    return Status();
}

} // namespace

Status loadTransforms(FusionRun& run, const std::vector<std::string>& inputs, std::vector<Homography>& toReference,
                      std::vector<std::string>& report)
{
    const RunSettings& s = run.settings;
    std::string text;
    QVX_TRY(readTextFile(s.alignLoad, inputs.size(), text));
    std::vector<align::TransformEntry> entries;
    std::string error;
    if (!align::parseTransforms(text, entries, error))
        return fatalError("Alignment file " + s.alignLoad + ": " + error).withKind(ErrorKind::Input);
    if (entries.size() != inputs.size())
        return fatalError("Alignment file " + s.alignLoad + " holds " + std::to_string(entries.size()) +
                          " transforms for " + std::to_string(inputs.size()) + " input images")
            .withKind(ErrorKind::Input);
    for (size_t i = 0; i < inputs.size(); ++i) {
        toReference[i] = fromFullSize(entries[i].toReference, s.scaleFactor);
        if (s.verbosity > 0)
            report.push_back(motionLine(run, "Loaded", inputs[i], toReference[i]) + "\n");
    }
    return Status();
}

const char* alignModelName(AlignModel model)
{
    return align::motionModelName(motionModel(model));
}

bool parseAlignModel(std::string_view text, AlignModel& model)
{
    align::MotionModel parsed;
    if (!align::parseMotionModel(text, parsed))
        return false;
    model = static_cast<AlignModel>(static_cast<int>(parsed));
    return true;
}

Status prepareAlignOnlyFolder(const std::string& folder)
{
    struct stat st{};
    if (stat(folder.c_str(), &st) != 0) {
        if (mkdir(folder.c_str(), 0777) != 0)
            return fatalError("Cannot create folder " + folder + ": " + std::strerror(errno))
                .withKind(ErrorKind::Output);
    } else if (!S_ISDIR(st.st_mode)) {
        return fatalError("Not a folder: " + folder).withKind(ErrorKind::Output);
    }
    if (access(folder.c_str(), W_OK | X_OK) != 0)
        return fatalError("Cannot write into folder " + folder + ": " + std::strerror(errno))
            .withKind(ErrorKind::Output);
    return Status();
}

bool alignmentWanted(const Options& o)
{
    return o.align || o.alignCrop || o.alignKeepFailed || !o.alignSave.empty() || !o.alignLoad.empty() ||
           !o.alignOnly.empty();
}

namespace {

// Takes the entries of every input in `leftOut` out of the list, with the
// bracketing copies made from them, and renumbers the inputs that stay.
void leaveOut(FusionRun& run, const std::vector<bool>& leftOut)
{
    std::vector<int> newInput(leftOut.size(), -1);
    int kept = 0;
    for (size_t i = 0; i < leftOut.size(); ++i)
        if (!leftOut[i])
            newInput[i] = kept++;
    for (int e = 0; e < run.images.count();) {
        ImageEntry& entry = run.images[e];
        const size_t input = static_cast<size_t>(entry.input);
        if (!leftOut[input]) {
            entry.input = newInput[input];
            ++e;
            continue;
        }
        if (entry.type == TypeExposureAdjusted)
            std::remove(entry.path.c_str());
        removeImage(run.images, e);
    }
    std::vector<int> keptPosition;
    for (size_t i = 0; i < leftOut.size() && i < run.inputPosition.size(); ++i)
        if (!leftOut[i])
            keptPosition.push_back(run.inputPosition[i]);
    run.inputPosition = std::move(keptPosition);
}

// A failure ends the progress line first, so that its message stands on a
// line of its own.
struct ProgressLine {
    Console& console;
    bool open = false;
    ~ProgressLine()
    {
        if (open)
            console.print("\n");
    }
};

// The reference frame's index, once the reference and the canvas are known to
// be within what alignment handles.
Status alignmentReference(const FusionRun& run, int n, int& reference)
{
    const RunSettings& s = run.settings;
    if (s.alignReference < 0 || s.alignReference > n)
        return fatalError("Alignment reference " + std::to_string(s.alignReference) + " out of range 1.." +
                          std::to_string(n));
    reference = s.alignReference == 0 ? n / 2 : s.alignReference - 1;
    if (std::max(run.canvas.width, run.canvas.height) > align::kMaxWarpSide)
        return fatalError("Canvas of " + std::to_string(run.canvas.width) + "x" + std::to_string(run.canvas.height) +
                          " pixels too large to align");
    return Status();
}

// Every input's transform: loaded, estimated, or the identity for frames too
// small to estimate anything from (fused as they are).
Status findTransforms(FusionRun& run, const std::vector<std::string>& inputs, int reference, Transforms& t,
                      Report& report)
{
    const RunSettings& s = run.settings;
    const int n = static_cast<int>(inputs.size());
    if (!s.alignLoad.empty())
        return loadTransforms(run, inputs, t.toReference, report);
    if (n < 2)
        return Status();
    if (!align::sizeCanBeAligned(run.canvas.width, run.canvas.height)) {
        for (int i = 0; i < n; ++i)
            if (i != reference)
                report.push_back(formatted("Warning: cannot align %s (frames of %dx%d pixels are too small or too "
                                           "thin to align); %s unaligned\n",
                                           inputs[static_cast<size_t>(i)].c_str(), run.canvas.width,
                                           run.canvas.height, s.alignOnly.empty() ? "fused" : "written"));
        return Status();
    }
    return estimateTransforms(run, inputs, reference, t, report);
}

// The part of the canvas every aligned frame covers under --alignCrop, else
// the whole canvas.
ImageRegion alignedArea(FusionRun& run, Transforms& t, Report& report)
{
    const RunSettings& s = run.settings;
    const int n = static_cast<int>(t.present.size());
    if (!s.alignCrop || n < 2)
        return ImageRegion{0, 0, run.canvas.width, run.canvas.height};
    if (!s.alignLoad.empty()) {
        // Where each input lies, as the estimation would have read it.
        const std::vector<int32_t> inputEntry = inputEntries(run.images);
        for (int i = 0; i < n; ++i) {
            ImageRegion r = run.images[inputEntry[static_cast<size_t>(i)]].info.region;
            scaleRegion(r, s.scaleFactor);
            r.x -= run.canvas.x;
            r.y -= run.canvas.y;
            t.present[static_cast<size_t>(i)] = r;
        }
    }
    const ImageRegion area = commonArea(run, t, report);
    if (s.verbosity > 0)
        report.push_back(formatted("  Common area %dx%d+%d+%d\n", area.width, area.height, area.x, area.y));
    return area;
}

// Every entry whose pixels move gets a copy; --alignOnly writes each input.
Status planCopies(FusionRun& run, const Transforms& t, const std::vector<std::string>& onlyTargets, bool cropped,
                  std::vector<CopyJob>& jobs)
{
    const bool only = !run.settings.alignOnly.empty();
    for (int e = 0; e < run.images.count(); ++e) {
        const ImageEntry& entry = run.images[e];
        const size_t input = static_cast<size_t>(entry.input);
        if (t.failed[input])
            continue;
        if (only) {
            if (!entry.bracketCopy)
                jobs.push_back({e, onlyTargets[input], false});
        } else if (cropped || !isIdentity(t.toReference[input])) {
            QVX_TRY(run.scratch.ensureRunFolder());
            jobs.push_back({e, run.scratch.scratchName(entry.path, "aln", 0), true});
        }
    }
    return Status();
}

// Writes the copies; a run copy takes its entry's place, described by
// `alignedInfo`.
Status writeCopies(FusionRun& run, const std::vector<CopyJob>& jobs, const Transforms& t, const ImageRegion& area,
                   const ImageInfo& alignedInfo, bool several)
{
    const RunSettings& s = run.settings;
    const SampleRange range = s.alignOnly.empty() ? SampleRange::Work : SampleRange::Full;
    for (const CopyJob& job : jobs) {
        const size_t input = static_cast<size_t>(run.images[job.entry].input);
        QVX_TRY(run.checkCancel());
        QVX_TRY(writeAlignedCopy(run, job, t.toReference[input], area, range));
        if (several)
            run.console.print(".");
        if (!job.scratch)
            continue;
        // The copy takes the entry's place; an exposure copy it was made from
        // is no longer needed.
        if (run.images[job.entry].type == TypeExposureAdjusted)
            std::remove(run.images[job.entry].path.c_str());
        QVX_TRY(replaceImage(run.images, job.entry, job.path, TypeAligned, s.scaled ? ScaleScaled : ScaleFull,
                             alignedInfo));
    }
    return Status();
}

} // namespace

Status alignInputs(FusionRun& run, const std::vector<std::string>& inputs)
{
    const RunSettings& s = run.settings;
    const int n = static_cast<int>(inputs.size());
    int reference = 0;
    QVX_TRY(alignmentReference(run, n, reference));
    const bool only = !s.alignOnly.empty();
    std::vector<std::string> onlyTargets;
    if (only)
        QVX_TRY(alignOnlyTargets(run, inputs, onlyTargets));

    Transforms t;
    t.toReference.assign(static_cast<size_t>(n), align::identityHomography());
    t.present.assign(static_cast<size_t>(n), ImageRegion{0, 0, run.canvas.width, run.canvas.height});
    t.failed.assign(static_cast<size_t>(n), false);
    // One progress line: a dot per input read, then per copy written; what
    // there is to say about each input follows it.
    const bool several = n > 1;
    Report report;
    for (const std::string& target : onlyTargets) {
        struct stat st{};
        if (lstat(target.c_str(), &st) == 0)
            report.push_back("Replaced existing file " + target + "\n");
    }
    ProgressLine progress{run.console};
    if (several) {
        run.console.print("Aligning %d images", n);
        progress.open = true;
    }
    QVX_TRY(findTransforms(run, inputs, reference, t, report));
    if (!s.alignSave.empty())
        QVX_TRY(saveTransforms(run, inputs, t));

    const ImageRegion area = alignedArea(run, t, report);
    const bool cropped = area.x != 0 || area.y != 0 || area.width != run.canvas.width ||
                         area.height != run.canvas.height;
    std::vector<CopyJob> jobs;
    QVX_TRY(planCopies(run, t, onlyTargets, cropped, jobs));
    ImageInfo alignedInfo;
    alignedInfo.known = true;
    alignedInfo.format = FileFormat::Tiff;
    alignedInfo.region = {run.canvas.x + area.x, run.canvas.y + area.y, area.width, area.height};
    alignedInfo.bytesPerPixel = 8;
    alignedInfo.bitsPerSample = 16;
    QVX_TRY(writeCopies(run, jobs, t, area, alignedInfo, several));
    if (several)
        run.console.print("\n");
    progress.open = false;
    for (const std::string& line : report)
        run.console.write(line, line.rfind("Warning: ", 0) == 0 ? MessageKind::Warning : MessageKind::Info);
    if (only) {
        // The run stops here: the bracketing copies are not wanted either.
        for (const ImageEntry& entry : run.images)
            if (entry.type == TypeExposureAdjusted)
                std::remove(entry.path.c_str());
        run.console.print("Aligned images written to %s\n", s.alignOnly.c_str());
        return Status();
    }
    leaveOut(run, t.failed);
    run.canvas = alignedInfo.region;
    return Status();
}

} // namespace quovix
