// Quovix: fusion of several photographs of one scene (an exposure bracket, a
// focus stack, or both) into one image, on Laplacian pyramids kept in scratch
// files so that memory stays bounded whatever the number of inputs.
//
// The whole public interface: a plain options struct, one call that runs a
// fusion, and a callback that receives every console line. Nothing here keeps
// global state; two fusions may run one after the other or at the same time on
// two threads of one process. The environment is not read: Options carries
// what a command line takes from it. Two settings the libraries below hold
// for the whole process are changed only while needed and then put back:
// OpenCV's thread count while an alignment estimates (set to workerCount; the
// estimations of concurrent runs take turns) and Exiv2's log handler while
// camera metadata is copied (see initialize()).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quovix {

// Exit codes a command line should end with. -1 and -100 reach a POSIX shell
// as 255 and 156.
constexpr int kExitOk = 0;
constexpr int kExitFatal = 1;        // invalid use, fatal errors
constexpr int kExitIoError = -1;     // unreadable or unwritable images, canvas too large
constexpr int kExitNoMemory = -100;  // memory exhausted
// A run stopped through Options::cancel. A command line stopped by a signal
// ends with 128 + the signal number instead (130 is SIGINT's).
constexpr int kExitInterrupted = 130;

enum class CombineMode : int32_t {
    Average = 0,  // weighted average of the levels
    Maximum = 1,  // detail of the image with the largest weight
    Hybrid = 2,
};

// How the frames of a focus stack (iteration 1's groups of one exposure, or
// the single pass of a one-iteration run) are combined.
enum class FocusMode : int32_t {
    Classic = 0,  // the iteration's weights and combination mode
    // Per pixel the frame in sharpest focus there, the choice smoothed over
    // its neighbourhood and blended through the pyramid: colours and tones of
    // real frames, without the highlight/shadow rescaling.
    Select = 1,
};

// TIFF compression codes.
enum class Compression : int32_t {
    None = 1,
    Lzw = 5,
    PackBits = 32773,
    Deflate = 32946,
};

// Weights and combination rule of one fusion iteration. Weights that do not
// sum to 1 are rescaled (with a message).
struct IterationParams {
    float exposureWeight = 0.0f;
    float contrastWeight = 0.0f;
    float saturationWeight = 0.0f;
    CombineMode mode = CombineMode::Average;
};

// Shape of the exposure weight curve; every value -5..5.
struct CurveParams {
    float contrast = 0.0f;
    float brightness = 0.0f;
    float shadows = 0.0f;
    float highlights = 0.0f;
    float floorShadow = 0.1f;
    float floorHighlight = 0.1f;
};

// Levels adjustment of the result (applied when enabled).
struct LevelsParams {
    bool enabled = false;
    float blackPoint = 0.0f;
    float whitePoint = 1.0f;
    float weight = 0.5f;
    float factor = 1.0f;
};

// Noise reduction on the finest levels, during blending and/or on the result.
struct NoiseParams {
    float lumaThreshold = 0.0f;
    float chromaThreshold = 0.0f;
    float lumaFactor = 0.0f;
    float chromaFactor = 0.0f;
    int32_t lumaLevels = 1;
    int32_t chromaLevels = 1;
    int32_t radius = 2;
    bool duringBlend = false;
    bool atFinalize = false;
};

// Families of transforms the alignment of hand-held frames may estimate.
enum class AlignModel : int32_t {
    Translation,  // shift only
    Euclidean,    // rotation and shift
    Affine,       // any linear map and shift
    Homography,   // plane projective transform
};

// How camera RAW files are decoded.
enum class RawEngine : int32_t {
    Dcraw,   // the external dcraw program (converterPath); files it cannot decode go to LibRaw
    LibRaw,  // LibRaw in-process, with the dcraw-style options it accepts
};

enum class MessageKind {
    Info,     // progress and the settings report
    Trace,    // memory and file trace lines ("Mem|", "File|") under traceResources
    // A whole "Warning: ..." line about the result: a frame left out, metadata
    // not carried, inputs of different sizes. The command line prints these on
    // standard error, also when quiet.
    Warning,
    // Console text to show even when nothing else is shown: a value reset to
    // its default, fewer levels than asked, an image without exposure, and the
    // lines that lead up to the failure FuseResult::error ends with.
    Notice,
};

// Receives console text as it is produced: whole lines, or pieces of a line
// (progress dots). Called from one thread at a time, but not always from the
// thread that called fuse(): worker threads report too (resource traces,
// warnings of parallel stages). A callback that throws is not called again
// and the run ends with an error naming the exception, without committing
// its output.
using MessageCallback = std::function<void(MessageKind kind, std::string_view text)>;

// Receives the stage the run is in ("preparing", "analysing", "fusing",
// "done") and the fraction of the whole run done, 0..1, never decreasing;
// 1 only once the run is complete. Called on the thread that called fuse().
using ProgressCallback = std::function<void(std::string_view stage, double fraction)>;

struct Options {
    // Output and file format
    std::string outputPath;                 // empty: named after the inputs and weights
    int32_t outputBits = -1;                // 8, 16, or -1 for the deepest input
    Compression compression = Compression::Lzw;
    // Compression of the internal scratch files (level files, weight maps,
    // noise levels, debug images); unset: the same as `compression`. None
    // trades about 10 bytes of temporary disk per pixel and input for speed.
    std::optional<Compression> scratchCompression;
    bool bigTiff = false;
    int32_t jpegQuality = 90;               // outputs named .jpg/.jpeg and preview runs
    // The first input's colour profile (ICC) and camera metadata (EXIF, XMP,
    // IPTC) are carried into the output unless this is set.
    bool noMetadata = false;

    // Pyramid and fusion
    int32_t levelCount = 0;                 // 0: automatic
    int32_t levelOffset = 0;                // adjustment of the automatic count
    int32_t iterationCount = 2;             // 2: fuse similar exposures first, then the groups
    IterationParams iteration1{0.0f, 1.0f, 0.0f, CombineMode::Maximum};
    IterationParams iteration2{1.0f, 0.0f, 0.0f, CombineMode::Average};
    float exposureThreshold = 0.33f;        // grouping threshold (relative exposure difference)
    float gamma = 2.2f;
    int32_t exposureWeightMode = 0;         // 0 grey, 1 colour
    int32_t exposureBlendLevels = 0;        // coarsest levels blended by exposure alone
    bool wrapAround = false;                // 360-degree panoramas
    bool useYCrCb = false;
    float highlightThreshold = 0.1f;        // 0..1
    bool printCurve = false;
    FocusMode focusMode = FocusMode::Classic;
    // A greyscale image of the frame chosen at every pixel of the focus
    // stack (PNG when named .png, else TIFF); empty: none. See README.
    std::string depthMapPath;
    CurveParams curve;
    LevelsParams levelsAdjust;
    NoiseParams noise;

    // Auto-bracketing: exposure-shifted copies of every input, in stops
    // (plusStops > 0 adds a brighter copy, minusStops < 0 a darker one).
    float plusStops = 0.0f;
    float minusStops = 0.0f;

    // Preview runs: inputs read at reduced size through reusable cache files,
    // 8-bit JPEG output. The factor comes from constrainWidth x constrainHeight
    // when both are set, otherwise from scaleFactor.
    bool scaled = false;
    float scaleFactor = 1.0f;
    int32_t constrainWidth = 0;
    int32_t constrainHeight = 0;

    // Alignment of hand-held frames before the fusion: every input is
    // warped onto the reference input (1-based; 0: the middle of the list).
    // Any of the other fields below turns it on as well. Transform files hold
    // one line per input, its path and the matrix in full-size pixels.
    bool align = false;
    int32_t alignReference = 0;
    AlignModel alignModel = AlignModel::Homography;
    bool alignCrop = false;                 // crop to the area every aligned input covers
    std::string alignSave;                  // write the transforms to this file
    std::string alignLoad;                  // apply these transforms instead of estimating
    std::string alignOnly;                  // write the aligned inputs into this folder and stop
    // A frame that cannot be aligned within a pixel is left out of the
    // fusion (with a warning); true fuses it unaligned instead.
    bool alignKeepFailed = false;

    // Ghost removal: pixels of a frame that show something other than the
    // reference input (1-based; 0: the middle of the list) take no part in
    // the fusion.
    bool deghost = false;
    int32_t deghostReference = 0;

    // RAW conversion
    std::string converterPath;              // empty: "dcraw" from searchPath
    std::string converterArgs;              // empty: the converter defaults "-H 2 -w"
    RawEngine rawEngine = RawEngine::Dcraw;

    // Diagnostics
    int32_t verbosity = 0;
    bool showTiming = false;
    bool traceResources = false;            // "Mem|" and "File|" trace lines
    bool debugKeep = false;                 // keep every scratch file, write debug images
    bool keepGroupResults = false;          // keep the iteration-1 results

    // Run environment
    // The command line fills these from NUMBER_OF_PROCESSORS, TMPDIR,
    // QVXTRACE and PATH; the library reads no environment variable.
    int32_t workerCount = 0;                // 1..8; 0: the online processors (at most 8)
    std::string tempFolder;                 // empty: /tmp
    std::string debugLogPath;               // empty: no debug log
    // Folders searched for a converter named without a slash, ':'-separated
    // as in PATH (an empty entry is the working folder); empty:
    // /usr/local/bin:/bin:/usr/bin.
    std::string searchPath;

    MessageCallback onMessage;              // null: messages are dropped
    ProgressCallback onProgress;            // null: no progress reports

    // Stops the run when it becomes true (set it from any thread, or from a
    // signal handler: a lock-free atomic store is async-signal-safe). The run
    // looks at it between stages, levels and bands of rows, so it ends within
    // a fraction of a second (a RAW conversion or the metadata copy under way
    // is finished first). fuse() then returns kExitInterrupted with its scratch
    // folder and every temporary file beside the output removed, and any
    // previous output untouched. Null: the run is never stopped.
    const std::atomic<bool>* cancel = nullptr;
};

// What ended a failed run, for programs that react to the cause rather than
// parse the message.
enum class ErrorKind : int32_t {
    None,         // the run succeeded
    Usage,        // options or settings that cannot make a run
    Input,        // an input (image, alignment file) missing, unreadable or unsupported
    Output,       // the output, the temporary folder or a file beside them cannot be written
    OutOfMemory,  // memory exhausted
    Interrupted,  // stopped through Options::cancel
    Callback,     // the message callback threw
    Internal,     // an unexpected failure inside the library (an exception, a thread)
};

// What a fusion ended with.
struct FuseResult {
    int exitCode = kExitOk;
    ErrorKind errorKind = ErrorKind::None;
    std::string error;          // the final error text, as the command line prints it: whole lines
    std::string outputPath;     // the file written (the automatic name when none was given)
    std::string keptScratch;    // folder of the scratch files kept by debugKeep/keepGroupResults
    // The image written: its size and bits per sample (0 when no output was
    // written, as with alignOnly).
    int32_t width = 0;
    int32_t height = 0;
    int32_t bitsPerSample = 0;

    bool ok() const { return exitCode == kExitOk; }
};

// One-time set-up of the libraries the runs share with the rest of the
// process: Exiv2's XMP toolkit, which must be set up before two threads use
// it. Call it once at start-up in a program that uses Exiv2 itself on several
// threads; fuse() calls it on first use otherwise. It installs no handler and
// changes no setting: while a run copies camera metadata, Exiv2's log handler
// is the run's, passing every message on to the handler installed before it
// (a host's) and put back afterwards.
void initialize();

// Fuses the inputs into `output` (empty: options.outputPath, or the automatic
// name). Inputs are TIFF, JPEG, PNG or camera RAW files (through dcraw or
// LibRaw), recognised by their content.
FuseResult fuse(const Options& options, const std::vector<std::string>& inputs, const std::string& output = {});

// The name fuse() gives its output when none is set: built from the first
// and last input's names and the weights and curve of `options`, in the
// current folder.
std::string automaticOutputName(const Options& options, const std::vector<std::string>& inputs);

// Describes a camera RAW file, passing the lines to the callback: dcraw's
// "-i -v" text (its exit status returned), or LibRaw's description (camera,
// size, ISO, shutter, aperture, date; 0, or -1 when it cannot decode the file)
// under the LibRaw engine and when dcraw is missing or cannot decode the file.
// -1 when no engine could describe it.
int describeRawFile(const Options& options, const std::string& path);

// How a card of shots is split into brackets and stacks.
enum class GroupRule : int32_t {
    Auto,      // time gaps first, then a repeat of the exposure sequence inside each
    Count,     // fixed groups of `count` files
    Time,      // a new group where neighbouring captures are more than `seconds` apart
    Exposure,  // a new group where the first frame's exposure comes back
};

struct GroupingParams {
    GroupRule rule = GroupRule::Auto;
    int32_t count = 0;
    double seconds = 0.0;
};

// One group of files, in the order given, and the rule that closed it.
struct ShotGroup {
    std::vector<std::string> files;
    std::string closedBy;    // "time gap of 12.5 s", "exposure repeats", "3 files", "last file"
    int64_t largestFramePixels = 0;  // 0 when no frame's size could be read
};

// Splits files (in the order given; folders are not expanded) into groups.
// Capture times come from EXIF DateTimeOriginal with its sub-seconds, else
// from the file's modification time; exposures from EXIF exposure time,
// aperture and ISO, else from the mean brightness of the pixels (TIFF and
// JPEG). A run of frames of one exposure is a focus stack and stays whole
// under the exposure rules. Reads only metadata and, where EXIF is missing,
// pixels; never fails: a file it cannot read joins its neighbours' group.
std::vector<ShotGroup> groupShots(const std::vector<std::string>& files, const GroupingParams& params);

// Parses "auto", "N" (a count of files, 1 or more), "time:SECONDS" and
// "exposure"; false for anything else.
bool parseGroupRule(std::string_view text, GroupingParams& params);

// "translation", "euclidean", "affine", "homography".
const char* alignModelName(AlignModel model);

// Parses the names above (ASCII case ignored); false for anything else.
bool parseAlignModel(std::string_view text, AlignModel& model);

// Whether an output of this name is written as JPEG: a name containing
// ".jpg", ".jpeg", ".JPG" or ".JPEG". Names ending in ".png" (any case) are
// written as PNG; others as TIFF, except in preview runs, which write JPEG.
bool isJpegOutputName(const std::string& path);

// "Quovix <version>".
const char* versionString();

} // namespace quovix
