// The option walk and everything settled after it that depends on the inputs.
#include "app/command_line.h"

#include "imageio/format_detect.h"
#include "imageio/image_types.h"
#include "imageio/input_prepare.h"
#include "imageio/raw_convert.h"
#include "support/console.h"
#include "support/memory.h"
#include "support/scratch_files.h"
#include "support/settings.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Temporary state of one parse.
struct ParseState {
    int argc = 0;
    char** argv = nullptr;
    int index = 0;                 // argument being read
    // Input names in command-line order. Held outside tracked memory: -dm is
    // only known after the walk, and a traced release of an untraced
    // allocation would read as a double release.
    std::vector<const char*> names;
    float plusStops = 0.0f;
    float minusStops = 0.0f;
    bool infoGiven = false;
    std::string infoFile;
    bool noiseGiven = false;
    bool scaleGiven = false;
    float givenScale = 1.0f;
};

// Leading decimal integer (blanks and a sign allowed, no digits gives 0),
// saturated at the 32-bit range instead of overflowing.
int32_t parseInteger(const char* text)
{
    long long value = std::strtoll(text, nullptr, 10);
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

float parseAbsoluteDecimal(const char* text)
{
    return static_cast<float>(std::fabs(std::strtod(text, nullptr)));
}

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

// The value of an option is the next argument, whatever it looks like.
const char* takeValue(ParseState& st)
{
    if (st.index + 1 >= st.argc) {
        std::printf("Missing value for option %s\n", st.argv[st.index]);
        endProcess(kExitFatal);
    }
    return st.argv[++st.index];
}

// '/' also introduces options; on this platform an absolute path starts with
// it too, so an argument holding a second '/' or naming an existing regular
// file is an input name, not an option.
bool isOption(const char* arg)
{
    if (arg[0] == '-')
        return true;
    if (arg[0] != '/')
        return false;
    if (std::strchr(arg + 1, '/') != nullptr)
        return false;
    struct stat st{};
    return !(stat(arg, &st) == 0 && S_ISREG(st.st_mode));
}

void applyNoiseOption(ParseState& st, const char* arg)
{
    NoiseParams& n = gSettings.noise;
    st.noiseGiven = true;
    const char which = arg[2];
    if (which == 'f' || which == 'b') {
        n.duringBlend = true;
        if (which == 'b')
            n.atFinalize = true;
        gSettings.useYCrCb = true;
        return;
    }
    const bool known = std::strchr("lLcCvwr", which) != nullptr && which != '\0';
    if (!known) {
        // Unknown forms still swallow the next argument, when there is one.
        if (st.index + 1 < st.argc)
            ++st.index;
        return;
    }
    const char* value = takeValue(st);
    switch (which) {
    case 'l': n.lumaThreshold = parseAbsoluteDecimal(value); break;
    case 'L': n.lumaFactor = parseAbsoluteDecimal(value); break;
    case 'c': n.chromaThreshold = parseAbsoluteDecimal(value); break;
    case 'C': n.chromaFactor = parseAbsoluteDecimal(value); break;
    case 'v': n.lumaLevels = parseInteger(value); break;
    case 'w': n.chromaLevels = parseInteger(value); break;
    case 'r': n.radius = parseInteger(value); break;
    default: break;
    }
}

void applyBracketing(ParseState& st, const char* value)
{
    float stops = std::fabs(parseDecimal(value));
    if (!std::isfinite(stops)) {
        // An endless shift has no image to produce; leave that direction off.
        std::printf("Invalid auto-bracketing value %s...ignoring\n", value);
        stops = 0.0f;
    }
    if (value[0] != '-')
        st.plusStops = stops;
    if (value[0] != '+')
        st.minusStops = -stops;
}

enum class LongOption {
    GScale, GConstrain, GLevelsBP, GLevelsWP, GLevelsWeight, GLevelsFactor,
    CBr, CCo, CSh, CHi, CFs, CFh, Raw, Compression, BigTiff, WIterations,
    WExposure1, WExposure2, WContrast1, WContrast2, WSaturation1, WSaturation2,
    WMode1, WMode2, WExposure, WContrast, WSaturation, WMode,
};

struct LongOptionEntry {
    const char* text;  // searched anywhere inside the argument
    LongOption option;
};

// Matching order: the numbered forms come before the forms for both
// iterations, so "--wExposure1" never falls to "--wExposure".
const LongOptionEntry kLongOptions[] = {
    {"-gScale", LongOption::GScale},
    {"-gConstrain", LongOption::GConstrain},
    {"-gLevelsBP", LongOption::GLevelsBP},
    {"-gLevelsWP", LongOption::GLevelsWP},
    {"-gLevelsWeight", LongOption::GLevelsWeight},
    {"-gLevelsFactor", LongOption::GLevelsFactor},
    {"-cBr", LongOption::CBr},
    {"-cCo", LongOption::CCo},
    {"-cSh", LongOption::CSh},
    {"-cHi", LongOption::CHi},
    {"-cFs", LongOption::CFs},
    {"-cFh", LongOption::CFh},
    {"-raw", LongOption::Raw},
    {"-compression", LongOption::Compression},
    {"-bigtiff", LongOption::BigTiff},
    {"-wIterations", LongOption::WIterations},
    {"-wExposure1", LongOption::WExposure1},
    {"-wExposure2", LongOption::WExposure2},
    {"-wContrast1", LongOption::WContrast1},
    {"-wContrast2", LongOption::WContrast2},
    {"-wSaturation1", LongOption::WSaturation1},
    {"-wSaturation2", LongOption::WSaturation2},
    {"-wMode1", LongOption::WMode1},
    {"-wMode2", LongOption::WMode2},
    {"-wExposure", LongOption::WExposure},
    {"-wContrast", LongOption::WContrast},
    {"-wSaturation", LongOption::WSaturation},
    {"-wMode", LongOption::WMode},
};

void applyCompression(const char* keyword)
{
    struct Keyword {
        const char* text;
        int32_t code;
    };
    static const Keyword keywords[] = {
        {"LZW", 5}, {"DEFLATE", 32946}, {"PACKBITS", 32773}, {"NONE", 1},
    };
    for (const Keyword& k : keywords) {
        if (std::strcmp(keyword, k.text) == 0) {
            gSettings.tiffCompression = k.code;
            return;
        }
    }
}

void applyLongOption(ParseState& st, const char* arg)
{
    RunSettings& s = gSettings;
    if (std::strstr(arg, "-info") != nullptr) {
        st.infoFile = takeValue(st);
        st.infoGiven = true;
        return;
    }
    const LongOptionEntry* entry = nullptr;
    for (const LongOptionEntry& e : kLongOptions) {
        if (std::strstr(arg, e.text) != nullptr) {
            entry = &e;
            break;
        }
    }
    if (entry == nullptr)
        return;
    if (entry->option == LongOption::BigTiff) {
        s.bigTiff = true;
        return;
    }
    const char* value = takeValue(st);
    switch (entry->option) {
    case LongOption::GScale:
        s.scaled = true;
        s.scaleFactor = parseDecimal(value);
        st.scaleGiven = true;
        st.givenScale = s.scaleFactor;
        break;
    case LongOption::GConstrain: {
        s.scaled = true;
        s.scaleFactor = 0.0f;
        s.constrainWidth = parseInteger(value);
        const char* cross = std::strchr(value, 'x');
        s.constrainHeight = cross != nullptr ? parseInteger(cross + 1) : 0;
        break;
    }
    case LongOption::GLevelsBP: s.levelsAdjust.blackPoint = parseDecimal(value); s.levelsAdjust.enabled = true; break;
    case LongOption::GLevelsWP: s.levelsAdjust.whitePoint = parseDecimal(value); s.levelsAdjust.enabled = true; break;
    case LongOption::GLevelsWeight: s.levelsAdjust.weight = parseDecimal(value); s.levelsAdjust.enabled = true; break;
    case LongOption::GLevelsFactor: s.levelsAdjust.factor = parseDecimal(value); s.levelsAdjust.enabled = true; break;
    case LongOption::CBr: s.curve.brightness = parseDecimal(value); break;
    case LongOption::CCo: s.curve.contrast = parseDecimal(value); break;
    case LongOption::CSh: s.curve.shadows = parseDecimal(value); break;
    case LongOption::CHi: s.curve.highlights = parseDecimal(value); break;
    case LongOption::CFs: s.curve.floorShadow = parseDecimal(value); break;
    case LongOption::CFh: s.curve.floorHighlight = parseDecimal(value); break;
    case LongOption::Raw: s.converterArgs = value; break;
    case LongOption::Compression: applyCompression(value); break;
    case LongOption::WIterations: s.iterationCount = parseInteger(value); break;
    case LongOption::WExposure1: s.iteration1.exposureWeight = parseDecimal(value); break;
    case LongOption::WExposure2: s.iteration2.exposureWeight = parseDecimal(value); break;
    case LongOption::WContrast1: s.iteration1.contrastWeight = parseDecimal(value); break;
    case LongOption::WContrast2: s.iteration2.contrastWeight = parseDecimal(value); break;
    case LongOption::WSaturation1: s.iteration1.saturationWeight = parseDecimal(value); break;
    case LongOption::WSaturation2: s.iteration2.saturationWeight = parseDecimal(value); break;
    case LongOption::WMode1: s.iteration1.mode = parseInteger(value); break;
    case LongOption::WMode2: s.iteration2.mode = parseInteger(value); break;
    case LongOption::WExposure:
        s.iteration1.exposureWeight = s.iteration2.exposureWeight = parseDecimal(value);
        break;
    case LongOption::WContrast:
        s.iteration1.contrastWeight = s.iteration2.contrastWeight = parseDecimal(value);
        break;
    case LongOption::WSaturation:
        s.iteration1.saturationWeight = s.iteration2.saturationWeight = parseDecimal(value);
        break;
    case LongOption::WMode:
        s.iteration1.mode = s.iteration2.mode = parseInteger(value);
        break;
    case LongOption::BigTiff: break;
    }
}

// One option argument; selected by its second character.
void applyOption(ParseState& st, const char* arg)
{
    RunSettings& s = gSettings;
    switch (arg[1]) {
    case 'a': {
        int32_t bits = parseInteger(takeValue(st));
        s.outputBits = (bits == 8 || bits == 16) ? bits : -1;
        break;
    }
    case 'b': applyBracketing(st, takeValue(st)); break;
    case 'c': s.useYCrCb = true; break;
    case 'C': s.printCurve = true; break;
    case 'd':
        if (arg[2] == '\0')
            s.debugKeep = true;
        else if (arg[2] == 't')
            s.showTiming = true;
        else if (arg[2] == 'm')
            s.traceResources = true;
        break;
    case 'e': s.exposureThreshold = parseDecimal(takeValue(st)); break;
    case 'f': s.keepGroupResults = true; break;
    case 'h':
        printUsage();
        endProcess(kExitOk);
    case 'j': s.jpegQuality = parseInteger(takeValue(st)); break;
    case 'k': s.gamma = parseDecimal(takeValue(st)); break;
    case 'l': {
        const char* value = takeValue(st);
        if (value[0] == '-' || value[0] == '+') {
            s.levelCount = 0;
            s.levelOffset = parseInteger(value);
        } else {
            s.levelOffset = 0;
            s.levelCount = parseInteger(value);
        }
        break;
    }
    case 'n': applyNoiseOption(st, arg); break;
    case 'o': s.outputPath = takeValue(st); break;
    case 'p': s.iterationCount = parseInteger(takeValue(st)); break;
    case 't': s.highlightThreshold = parseDecimal(takeValue(st)); break;
    case 'u': s.exposureBlendLevels = parseInteger(takeValue(st)); break;
    case 'v': ++s.verbosity; break;
    case 'V':
        printVersion();
        endProcess(kExitOk);
    case 'w': s.wrapAround = true; break;
    case 'x': s.converterPath = takeValue(st); break;
    // Only 1 selects colour; anything else means greyscale.
    case 'z': s.exposureWeightMode = parseInteger(takeValue(st)) == 1 ? 1 : 0; break;
    case '-': applyLongOption(st, arg); break;
    default: break;
    }
}

// The same rescaling as the validation, without its message. A sum of 0 or
// NaN has nothing to divide by: it is left for the validation, which reports
// it and restores the iteration's defaults.
void rescaleWeightsSilently(IterationParams& it)
{
    float sum = it.contrastWeight + it.exposureWeight + it.saturationWeight;
    if (sum == 1.0f || sum == 0.0f || !std::isfinite(sum))
        return;
    it.exposureWeight /= sum;
    it.contrastWeight /= sum;
    it.saturationWeight /= sum;
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

float resolveScaleFactor(const ParseState& st)
{
    if (st.names.empty())
        return 1.0f;  // no canvas to fit; the run ends for want of images

    const RunSettings& s = gSettings;
    float factor = 1.0f;
    if (s.constrainWidth != 0 && s.constrainHeight != 0) {
        float byWidth = static_cast<float>(s.constrainWidth) / static_cast<float>(gCanvas.width);
        float byHeight = static_cast<float>(s.constrainHeight) / static_cast<float>(gCanvas.height);
        factor = std::min(byWidth, byHeight);
    } else if (st.scaleGiven) {
        factor = st.givenScale;
    }
    if (!(factor > 0.0f)) {
        std::printf("Invalid scale factor...resetting to 1\n");
        factor = 1.0f;
    }
    if (factor > 1.0f)
        factor = 1.0f;
    return factor;
}

// The bracketing copy of one input in one direction.
void makeBracketCopy(const char* input, int number, int total, float shift)
{
    const RunSettings& s = gSettings;
    std::printf("[%d/%d] Pre-Processing %s\n", number, total, input);
    std::string target = s.scaled ? cacheName(input, s.scaleFactor, shift)
                                   : scratchName(input, "exp", truncateToInt(shift * 10.0f));
    std::printf("Adjusting exposure by %.2f stops\n", shift);
    adjustExposure(input, target, shift, s.scaled ? s.scaleFactor : 1.0f);
    if (s.scaled)
        appendImage(gImages, target, TypePreviewCache, ScaleScaled);
    else
        appendImage(gImages, target, TypeExposureAdjusted, ScaleFull);
}

// Everything after the walk that depends on the inputs.
void settleAfterWalk(ParseState& st)
{
    RunSettings& s = gSettings;

    if (s.converterPath.empty())
        s.converterPath = "dcraw";
    if (st.infoGiven)
        endProcess(printRawInfo(st.infoFile));
    if (st.noiseGiven && !s.noise.duringBlend)
        s.noise.atFinalize = true;
    rescaleWeightsSilently(s.iteration1);
    rescaleWeightsSilently(s.iteration2);

    const int n = static_cast<int>(st.names.size());
    HeapBuffer<ImageRegion> regions(static_cast<size_t>(n));
    int maxBits = 0;
    for (int i = 0; i < n; ++i) {
        int bytesPerPixel = 0, bits = 0;
        regions[i] = ImageRegion{};
        queryImageInfo(st.names[i], regions[i], bytesPerPixel, bits);
        maxBits = std::max(maxBits, bits);
    }

    gCanvas = boundingBox(regions.get(), n);
    float factor = resolveScaleFactor(st);
    ImageRegion scaledCanvas = gCanvas;
    scaleRegion(scaledCanvas, factor);
    if (n > 0 && (scaledCanvas.width < 1 || scaledCanvas.height < 1)) {
        // A factor that shrinks the canvas to nothing leaves no image to fuse.
        std::printf("Invalid scale factor...resetting to 1\n");
        factor = 1.0f;
        scaledCanvas = gCanvas;
        scaleRegion(scaledCanvas, factor);
    }
    s.scaleFactor = factor;
    gCanvas = scaledCanvas;
    if (n > 0 && int64_t{gCanvas.width} * gCanvas.height > kMaxImagePixels) {
        // Small inputs placed far apart would still need a canvas-sized buffer.
        std::printf("Canvas of %dx%d pixels out of range (inputs placed too far apart)\n", gCanvas.width,
                    gCanvas.height);
        endProcess(kExitIoError);
    }

    const bool plus = st.plusStops != 0.0f;
    const bool minus = st.minusStops != 0.0f;
    const int perInput = 1 + (plus ? 1 : 0) + (minus ? 1 : 0);
    if (gImages.paths != nullptr)
        releaseImageList(gImages);
    gImages = createImageList(clampToInt32(int64_t{perInput} * n));
    for (int i = 0; i < n; ++i) {
        if (minus)
            makeBracketCopy(st.names[i], i + 1, n, st.minusStops);
        appendImage(gImages, st.names[i], TypeInput, ScaleFull);
        if (plus)
            makeBracketCopy(st.names[i], i + 1, n, st.plusStops);
    }

    if (s.verbosity > 0) {
        std::printf("Input file list:\n");
        printImageList(gImages, s.verbosity);
        std::printf("\n\n");
    }
    if (s.outputPath.empty() && gImages.count() > 0)
        makeOutputName(gImages.paths[0], gImages.paths[gImages.last]);
    if (s.outputBits < 8)
        s.outputBits = maxBits;
    if (s.scaled)
        s.outputBits = 8;

    resolveLevels();
    s.exposureBlendLevels = std::min(s.exposureBlendLevels, s.levelCount - 1);
    s.noise.chromaLevels = std::min(s.noise.chromaLevels, s.levelCount);
    s.noise.lumaLevels = std::min(s.noise.lumaLevels, s.levelCount);

    regions.reset();

    if (gImages.count() == 0)
        fatalError("Not enough images specified for fusion", kExitFatal);
}

} // namespace

void initSettingsDefaults()
{
    RunSettings& s = gSettings;
    s.iterationCount = 2;
    s.iteration1 = IterationParams{0.0f, 1.0f, 0.0f, Maximum};
    s.iteration2 = IterationParams{1.0f, 0.0f, 0.0f, Average};
    s.curve = CurveParams{0.0f, 0.0f, 0.0f, 0.0f, 0.1f, 0.1f};
    s.levelsAdjust = LevelsParams{false, 0.0f, 1.0f, 0.5f, 1.0f};
    s.converterPath.clear();
}

float parseDecimal(const char* text)
{
    if (std::strchr(text, ',') != nullptr) {
        char copy[64];
        std::snprintf(copy, sizeof copy, "%s", text); // at most 63 characters
        if (char* comma = std::strchr(copy, ','))
            *comma = '.';
        return static_cast<float>(std::strtod(copy, nullptr));
    }
    return static_cast<float>(std::strtod(text, nullptr));
}

void makeOutputName(const std::string& firstPath, const std::string& lastPath)
{
    const RunSettings& s = gSettings;
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
    gSettings.outputPath = name.data();
}

void resolveLevels()
{
    RunSettings& s = gSettings;
    int32_t m = std::min(gCanvas.width, gCanvas.height);
    int32_t h = 0;
    while (m > 3) {
        m /= 2;
        ++h;
    }
    if (s.levelCount < 1)
        s.levelCount = std::max(h, 1);
    // Summed wide: an offset near the int32 limits must not wrap around.
    const int32_t wanted = clampToInt32(int64_t{s.levelCount} + s.levelOffset);
    s.levelCount = wanted;
    if (wanted > h + 1) {
        std::printf("Cannot use %d levels...using %d levels instead\n", wanted, h + 1);
        s.levelCount = h + 1;
    } else if (wanted < 1) {
        std::printf("Cannot use %d levels...using %d levels instead\n", wanted, 1);
        s.levelCount = 1;
    }
}

void parseCommandLine(int argc, char** argv)
{
    initSettingsDefaults();
    if (argc < 2) {
        printUsage();
        endProcess(kExitOk);
    }

    ParseState st;
    st.argc = argc;
    st.argv = argv;
    st.names.reserve(static_cast<size_t>(argc));
    for (st.index = 1; st.index < argc; ++st.index) {
        const char* arg = argv[st.index];
        if (isOption(arg))
            applyOption(st, arg);
        else
            st.names.push_back(arg);
    }
    settleAfterWalk(st);
}
