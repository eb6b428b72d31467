// The option walk and everything settled after it that depends on the inputs.
#include "app/command_line.h"

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

using quovix::CombineMode;
using quovix::Compression;
using quovix::NoiseParams;
using quovix::Options;

// Temporary state of one parse.
struct ParseState {
    int argc = 0;
    char** argv = nullptr;
    int index = 0;                 // argument being read
    Options* options = nullptr;
    CommandLine* commandLine = nullptr;
    bool noiseGiven = false;
    bool stop = false;             // the walk ended the run
    int exitCode = 0;
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

// The value of an option is the next argument, whatever it looks like.
// Null (with the walk stopped) when the option stands last.
const char* takeValue(ParseState& st)
{
    if (st.index + 1 >= st.argc) {
        std::printf("Missing value for option %s\n", st.argv[st.index]);
        st.stop = true;
        st.exitCode = quovix::kExitFatal;
        return nullptr;
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
    NoiseParams& n = st.options->noise;
    st.noiseGiven = true;
    const char which = arg[2];
    if (which == 'f' || which == 'b') {
        n.duringBlend = true;
        if (which == 'b')
            n.atFinalize = true;
        st.options->useYCrCb = true;
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
    if (value == nullptr)
        return;
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
        st.options->plusStops = stops;
    if (value[0] != '+')
        st.options->minusStops = -stops;
}

enum class LongOption {
    GScale, GConstrain, GLevelsBP, GLevelsWP, GLevelsWeight, GLevelsFactor,
    CBr, CCo, CSh, CHi, CFs, CFh, Raw, ScratchCompression, Compression, BigTiff, NoMetadata, WIterations,
    WExposure1, WExposure2, WContrast1, WContrast2, WSaturation1, WSaturation2,
    WMode1, WMode2, WExposure, WContrast, WSaturation, WMode,
    AlignRef, AlignModel, AlignCrop, AlignSave, AlignLoad, AlignOnly, Align,
};

struct LongOptionEntry {
    const char* text;  // searched anywhere inside the argument
    LongOption option;
};

// Matching order: the numbered forms come before the forms for both
// iterations, so "--wExposure1" never falls to "--wExposure", and every
// "--align..." form before "--align".
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
    {"-scratchCompression", LongOption::ScratchCompression},
    {"-compression", LongOption::Compression},
    {"-bigtiff", LongOption::BigTiff},
    {"-noMetadata", LongOption::NoMetadata},
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
    {"-alignRef", LongOption::AlignRef},
    {"-alignModel", LongOption::AlignModel},
    {"-alignCrop", LongOption::AlignCrop},
    {"-alignSave", LongOption::AlignSave},
    {"-alignLoad", LongOption::AlignLoad},
    {"-alignOnly", LongOption::AlignOnly},
    {"-align", LongOption::Align},
};

// Keywords in upper case only; anything else leaves the setting unchanged.
bool applyCompression(Compression& compression, const char* keyword)
{
    struct Keyword {
        const char* text;
        Compression code;
    };
    static const Keyword keywords[] = {
        {"LZW", Compression::Lzw}, {"DEFLATE", Compression::Deflate},
        {"PACKBITS", Compression::PackBits}, {"NONE", Compression::None},
    };
    for (const Keyword& k : keywords) {
        if (std::strcmp(keyword, k.text) == 0) {
            compression = k.code;
            return true;
        }
    }
    return false;
}

CombineMode modeFrom(int32_t value)
{
    return static_cast<CombineMode>(value);
}

void applyLongOption(ParseState& st, const char* arg)
{
    Options& s = *st.options;
    if (std::strstr(arg, "-info") != nullptr) {
        const char* value = takeValue(st);
        if (value == nullptr)
            return;
        st.commandLine->infoFile = value;
        st.commandLine->infoGiven = true;
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
    if (entry->option == LongOption::NoMetadata) {
        s.noMetadata = true;
        return;
    }
    // Every alignment option turns the alignment on.
    if (entry->option >= LongOption::AlignRef)
        s.align = true;
    if (entry->option == LongOption::Align || entry->option == LongOption::AlignCrop) {
        s.alignCrop = s.alignCrop || entry->option == LongOption::AlignCrop;
        return;
    }
    const char* value = takeValue(st);
    if (value == nullptr)
        return;
    switch (entry->option) {
    case LongOption::GScale:
        s.scaled = true;
        s.scaleFactor = parseDecimal(value);
        break;
    case LongOption::GConstrain: {
        // Without both sides the factor stays that of --gScale (1 by default).
        s.scaled = true;
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
    case LongOption::Compression: applyCompression(s.compression, value); break;
    case LongOption::ScratchCompression: {
        Compression scratch = s.scratchCompression.value_or(s.compression);
        if (applyCompression(scratch, value))
            s.scratchCompression = scratch;
        break;
    }
    case LongOption::WIterations: s.iterationCount = parseInteger(value); break;
    case LongOption::WExposure1: s.iteration1.exposureWeight = parseDecimal(value); break;
    case LongOption::WExposure2: s.iteration2.exposureWeight = parseDecimal(value); break;
    case LongOption::WContrast1: s.iteration1.contrastWeight = parseDecimal(value); break;
    case LongOption::WContrast2: s.iteration2.contrastWeight = parseDecimal(value); break;
    case LongOption::WSaturation1: s.iteration1.saturationWeight = parseDecimal(value); break;
    case LongOption::WSaturation2: s.iteration2.saturationWeight = parseDecimal(value); break;
    case LongOption::WMode1: s.iteration1.mode = modeFrom(parseInteger(value)); break;
    case LongOption::WMode2: s.iteration2.mode = modeFrom(parseInteger(value)); break;
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
        s.iteration1.mode = s.iteration2.mode = modeFrom(parseInteger(value));
        break;
    case LongOption::AlignRef: s.alignReference = parseInteger(value); break;
    case LongOption::AlignModel:
        if (!quovix::parseAlignModel(value, s.alignModel)) {
            std::printf("Invalid alignment model %s (translation, euclidean, affine or homography)\n", value);
            st.stop = true;
            st.exitCode = quovix::kExitFatal;
        }
        break;
    case LongOption::AlignSave: s.alignSave = value; break;
    case LongOption::AlignLoad: s.alignLoad = value; break;
    case LongOption::AlignOnly: s.alignOnly = value; break;
    case LongOption::BigTiff:
    case LongOption::NoMetadata:
    case LongOption::AlignCrop:
    case LongOption::Align: break;
    }
}

// One option argument; selected by its second character.
void applyOption(ParseState& st, const char* arg)
{
    Options& s = *st.options;
    // Options with a value stop the walk when it is missing.
    const char* value = nullptr;
    if (std::strchr("abejklopstuxz", arg[1]) != nullptr && arg[1] != '\0') {
        value = takeValue(st);
        if (value == nullptr)
            return;
    }
    switch (arg[1]) {
    case 'a': {
        int32_t bits = parseInteger(value);
        s.outputBits = (bits == 8 || bits == 16) ? bits : -1;
        break;
    }
    case 'b': applyBracketing(st, value); break;
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
    case 'e': s.exposureThreshold = parseDecimal(value); break;
    case 'f': s.keepGroupResults = true; break;
    case 'h':
        printUsage(s);
        st.stop = true;
        st.exitCode = quovix::kExitOk;
        break;
    case 'j': s.jpegQuality = parseInteger(value); break;
    case 'k': s.gamma = parseDecimal(value); break;
    case 'l': {
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
    case 'o': s.outputPath = value; break;
    case 'p': s.iterationCount = parseInteger(value); break;
    case 't': s.highlightThreshold = parseDecimal(value); break;
    case 'u': s.exposureBlendLevels = parseInteger(value); break;
    case 'v': ++s.verbosity; break;
    case 'V':
        printVersion();
        st.stop = true;
        st.exitCode = quovix::kExitOk;
        break;
    case 'w': s.wrapAround = true; break;
    case 'x': s.converterPath = value; break;
    // Only 1 selects colour; anything else means greyscale.
    case 'z': s.exposureWeightMode = parseInteger(value) == 1 ? 1 : 0; break;
    case '-': applyLongOption(st, arg); break;
    default: break;
    }
}

// The same rescaling as the validation, without its message. A sum of 0 or
// NaN has nothing to divide by: it is left for the validation, which reports
// it and restores the iteration's defaults.
void rescaleWeightsSilently(quovix::IterationParams& it)
{
    float sum = it.contrastWeight + it.exposureWeight + it.saturationWeight;
    if (sum == 1.0f || sum == 0.0f || !std::isfinite(sum))
        return;
    it.exposureWeight /= sum;
    it.contrastWeight /= sum;
    it.saturationWeight /= sum;
}

} // namespace

void initSettingsDefaults(Options& s)
{
    s.iterationCount = 2;
    s.iteration1 = quovix::IterationParams{0.0f, 1.0f, 0.0f, CombineMode::Maximum};
    s.iteration2 = quovix::IterationParams{1.0f, 0.0f, 0.0f, CombineMode::Average};
    s.curve = quovix::CurveParams{0.0f, 0.0f, 0.0f, 0.0f, 0.1f, 0.1f};
    s.levelsAdjust = quovix::LevelsParams{false, 0.0f, 1.0f, 0.5f, 1.0f};
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

bool parseCommandLine(int argc, char** argv, CommandLine& commandLine, int& exitCode)
{
    commandLine = CommandLine();
    Options& options = commandLine.options;
    initSettingsDefaults(options);
    if (argc < 2) {
        printUsage(options);
        exitCode = quovix::kExitOk;
        return false;
    }

    ParseState st;
    st.argc = argc;
    st.argv = argv;
    st.options = &options;
    st.commandLine = &commandLine;
    for (st.index = 1; st.index < argc && !st.stop; ++st.index) {
        const char* arg = argv[st.index];
        if (isOption(arg))
            applyOption(st, arg);
        else
            commandLine.inputs.push_back(arg);
    }
    if (st.stop) {
        exitCode = st.exitCode;
        return false;
    }
    // Settled once the walk is complete: noise options without -nf/-nb act on
    // the result, and weights are rescaled silently to sum 1.
    if (st.noiseGiven && !options.noise.duringBlend)
        options.noise.atFinalize = true;
    rescaleWeightsSilently(options.iteration1);
    rescaleWeightsSilently(options.iteration2);
    return true;
}
