// Every option of the command line, one row each, and the texts made from
// the rows: the help section beyond the classic text, the man page section
// and the bash completion.
#include "app/option_table.h"

#include "app/command_line.h"

#include <cerrno>
#include <cmath>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using quovix::CombineMode;
using quovix::Compression;
using quovix::Options;

float parseAbsoluteDecimal(const char* text)
{
    return static_cast<float>(std::fabs(std::strtod(text, nullptr)));
}

void applyBracketing(OptionWalk& w, const char* value)
{
    float stops = std::fabs(parseDecimal(value));
    if (!std::isfinite(stops)) {
        // An endless shift has no image to produce; leave that direction off.
        w.printed += "Invalid auto-bracketing value " + std::string(value) + "...ignoring\n";
        stops = 0.0f;
    }
    if (value[0] != '-')
        w.options.plusStops = stops;
    if (value[0] != '+')
        w.options.minusStops = -stops;
}

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

CombineMode modeFrom(const char* value)
{
    return static_cast<CombineMode>(parseInteger(value));
}

void applyLevels(OptionWalk& w, const char* value)
{
    Options& s = w.options;
    if (value[0] == '-' || value[0] == '+') {
        s.levelCount = 0;
        s.levelOffset = parseInteger(value);
    } else {
        s.levelOffset = 0;
        s.levelCount = parseInteger(value);
    }
}

void applyConstraint(OptionWalk& w, const char* value)
{
    // Without both sides the factor stays that of --gScale (1 by default).
    Options& s = w.options;
    s.scaled = true;
    s.constrainWidth = parseInteger(value);
    const char* cross = std::strchr(value, 'x');
    s.constrainHeight = cross != nullptr ? parseInteger(cross + 1) : 0;
}

void applyAlignModel(OptionWalk& w, const char* value)
{
    w.options.align = true;
    if (!quovix::parseAlignModel(value, w.options.alignModel)) {
        w.printed += "Invalid alignment model " + std::string(value) +
                     " (translation, euclidean, affine or homography)\n";
        w.stop = true;
        w.exitCode = quovix::kExitFatal;
    }
}

// A value that is not what the option takes ends the run: a typo must not
// quietly mean the default frame, or a full fusion instead of aligned frames.
void refuseValue(OptionWalk& w, const char* option, const char* value, const char* expected)
{
    w.printed += "Invalid value '" + std::string(value) + "' for " + option + " (" + expected + ")\n";
    w.stop = true;
    w.exitCode = quovix::kExitFatal;
}

void applyAlignReference(OptionWalk& w, const char* value)
{
    w.options.align = true;
    char* end = nullptr;
    errno = 0;
    const long long n = std::strtoll(value, &end, 10);
    // 0 keeps the default, the middle frame.
    if (end == value || *end != '\0' || errno == ERANGE || n < 0 || n > INT32_MAX)
        return refuseValue(w, "--alignRef", value, "a frame number from 1");
    w.options.alignReference = static_cast<int32_t>(n);
}

void applyAlignOnly(OptionWalk& w, const char* value)
{
    w.options.align = true;
    if (value[0] == '\0')
        return refuseValue(w, "--alignOnly", value, "a folder name");
    w.options.alignOnly = value;
}

void applyFocusMode(OptionWalk& w, const char* value)
{
    const std::string word = value;
    if (word == "select")
        w.options.focusMode = quovix::FocusMode::Select;
    else if (word == "classic")
        w.options.focusMode = quovix::FocusMode::Classic;
    else
        refuseValue(w, "--focusMode", value, "select or classic");
}

void applyRawEngine(OptionWalk& w, const char* value)
{
    const std::string word = value;
    if (word == "dcraw") {
        w.options.rawEngine = quovix::RawEngine::Dcraw;
    } else if (word == "libraw") {
        w.options.rawEngine = quovix::RawEngine::LibRaw;
    } else {
        w.printed += "Invalid RAW engine " + word + " (dcraw or libraw)\n";
        w.stop = true;
        w.exitCode = quovix::kExitFatal;
    }
}

void endWith(OptionWalk& w, std::string text)
{
    w.printed += text;
    w.stop = true;
    w.exitCode = quovix::kExitOk;
}

constexpr const char* kCompressionWords = "LZW|DEFLATE|PACKBITS|NONE";

using G = OptionGroup;
using K = ValueKind;

// Classic long options are matched anywhere inside the argument, in this
// order: the numbered forms come before the forms for both iterations, so
// "--wExposure1" never falls to "--wExposure". --info is tested before all.
const OptionRow kRows[] = {
    // Classic single-character options and families.
    {"-a", K::Integer, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) {
         const int32_t bits = parseInteger(v);
         w.options.outputBits = (bits == 8 || bits == 16) ? bits : -1;
         w.commandLine.bitsGiven = v;
     }, ""},
    {"-b", K::Decimal, "[+,-]n", G::Classic, true, applyBracketing, ""},
    {"-c", K::None, nullptr, G::Classic, true, [](OptionWalk& w, const char*) { w.options.useYCrCb = true; }, ""},
    {"-C", K::None, nullptr, G::Classic, true, [](OptionWalk& w, const char*) { w.options.printCurve = true; }, ""},
    {"-d", K::None, nullptr, G::ClassicMore, true, [](OptionWalk& w, const char*) { w.options.debugKeep = true; },
     "Keep every scratch file and write debug images"},
    {"-dt", K::None, nullptr, G::Classic, true, [](OptionWalk& w, const char*) { w.options.showTiming = true; }, ""},
    {"-dm", K::None, nullptr, G::Classic, true,
     [](OptionWalk& w, const char*) { w.options.traceResources = true; }, ""},
    {"-e", K::Decimal, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) { w.options.exposureThreshold = parseDecimal(v); }, ""},
    {"-f", K::None, nullptr, G::Classic, true,
     [](OptionWalk& w, const char*) { w.options.keepGroupResults = true; }, ""},
    {"-h", K::None, nullptr, G::Classic, true, [](OptionWalk& w, const char*) { endWith(w, usageText(w.options)); },
     ""},
    {"-j", K::Integer, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) { w.options.jpegQuality = parseInteger(v); }, ""},
    {"-k", K::Decimal, "n", G::Classic, true, [](OptionWalk& w, const char* v) { w.options.gamma = parseDecimal(v); },
     ""},
    {"-l", K::Integer, "[-/+]n", G::Classic, true, applyLevels, ""},
    {"-nl", K::Decimal, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) { w.options.noise.lumaThreshold = parseAbsoluteDecimal(v); }, ""},
    {"-nL", K::Decimal, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) { w.options.noise.lumaFactor = parseAbsoluteDecimal(v); }, ""},
    {"-nc", K::Decimal, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) { w.options.noise.chromaThreshold = parseAbsoluteDecimal(v); }, ""},
    {"-nC", K::Decimal, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) { w.options.noise.chromaFactor = parseAbsoluteDecimal(v); }, ""},
    {"-nv", K::Integer, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) { w.options.noise.lumaLevels = parseInteger(v); }, ""},
    {"-nw", K::Integer, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) { w.options.noise.chromaLevels = parseInteger(v); }, ""},
    {"-nr", K::Integer, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) { w.options.noise.radius = parseInteger(v); }, ""},
    {"-nf", K::None, nullptr, G::Classic, true,
     [](OptionWalk& w, const char*) {
         w.options.noise.duringBlend = true;
         w.options.useYCrCb = true;
     }, ""},
    {"-nb", K::None, nullptr, G::Classic, true,
     [](OptionWalk& w, const char*) {
         w.options.noise.duringBlend = true;
         w.options.noise.atFinalize = true;
         w.options.useYCrCb = true;
     }, ""},
    {"-o", K::File, "filename", G::Classic, true, [](OptionWalk& w, const char* v) { w.options.outputPath = v; }, ""},
    {"-p", K::Integer, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) { w.options.iterationCount = parseInteger(v); }, ""},
    {"-t", K::Decimal, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) { w.options.highlightThreshold = parseDecimal(v); }, ""},
    {"-u", K::Integer, "n", G::ClassicMore, true,
     [](OptionWalk& w, const char* v) { w.options.exposureBlendLevels = parseInteger(v); },
     "Blend the n coarsest levels by exposure weight alone"},
    {"-v", K::None, nullptr, G::Classic, true, [](OptionWalk& w, const char*) { ++w.options.verbosity; }, ""},
    {"-V", K::None, nullptr, G::Classic, true, [](OptionWalk& w, const char*) { endWith(w, versionText()); }, ""},
    {"-w", K::None, nullptr, G::Classic, true, [](OptionWalk& w, const char*) { w.options.wrapAround = true; }, ""},
    {"-x", K::File, "path", G::Classic, true, [](OptionWalk& w, const char* v) { w.options.converterPath = v; }, ""},
    // Only 1 selects colour; anything else means greyscale.
    {"-z", K::Integer, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) { w.options.exposureWeightMode = parseInteger(v) == 1 ? 1 : 0; }, ""},

    // Classic long options, in matching order.
    {"--info", K::File, "file", G::Classic, true,
     [](OptionWalk& w, const char* v) {
         w.commandLine.infoFile = v;
         w.commandLine.infoGiven = true;
     }, ""},
    {"--gScale", K::Decimal, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) {
         w.options.scaled = true;
         w.options.scaleFactor = parseDecimal(v);
     }, ""},
    {"--gConstrain", K::Text, "WxH", G::Classic, true, applyConstraint, ""},
    {"--gLevelsBP", K::Decimal, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) {
         w.options.levelsAdjust.blackPoint = parseDecimal(v);
         w.options.levelsAdjust.enabled = true;
     }, ""},
    {"--gLevelsWP", K::Decimal, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) {
         w.options.levelsAdjust.whitePoint = parseDecimal(v);
         w.options.levelsAdjust.enabled = true;
     }, ""},
    {"--gLevelsWeight", K::Decimal, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) {
         w.options.levelsAdjust.weight = parseDecimal(v);
         w.options.levelsAdjust.enabled = true;
     }, ""},
    {"--gLevelsFactor", K::Decimal, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) {
         w.options.levelsAdjust.factor = parseDecimal(v);
         w.options.levelsAdjust.enabled = true;
     }, ""},
    {"--cBr", K::Decimal, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) { w.options.curve.brightness = parseDecimal(v); }, ""},
    {"--cCo", K::Decimal, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) { w.options.curve.contrast = parseDecimal(v); }, ""},
    {"--cSh", K::Decimal, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) { w.options.curve.shadows = parseDecimal(v); }, ""},
    {"--cHi", K::Decimal, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) { w.options.curve.highlights = parseDecimal(v); }, ""},
    {"--cFs", K::Decimal, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) { w.options.curve.floorShadow = parseDecimal(v); }, ""},
    {"--cFh", K::Decimal, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) { w.options.curve.floorHighlight = parseDecimal(v); }, ""},
    {"--raw", K::Text, "args", G::Classic, true, [](OptionWalk& w, const char* v) { w.options.converterArgs = v; },
     ""},
    {"--compression", K::Keyword, kCompressionWords, G::Classic, true,
     [](OptionWalk& w, const char* v) { applyCompression(w.options.compression, v); }, ""},
    {"--bigtiff", K::None, nullptr, G::Classic, true, [](OptionWalk& w, const char*) { w.options.bigTiff = true; },
     ""},
    {"--wIterations", K::Integer, "n", G::ClassicMore, true,
     [](OptionWalk& w, const char* v) { w.options.iterationCount = parseInteger(v); },
     "Number of fusion iterations, as -p"},
    {"--wExposure1", K::Decimal, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) { w.options.iteration1.exposureWeight = parseDecimal(v); }, ""},
    {"--wExposure2", K::Decimal, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) { w.options.iteration2.exposureWeight = parseDecimal(v); }, ""},
    {"--wContrast1", K::Decimal, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) { w.options.iteration1.contrastWeight = parseDecimal(v); }, ""},
    {"--wContrast2", K::Decimal, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) { w.options.iteration2.contrastWeight = parseDecimal(v); }, ""},
    {"--wSaturation1", K::Decimal, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) { w.options.iteration1.saturationWeight = parseDecimal(v); }, ""},
    {"--wSaturation2", K::Decimal, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) { w.options.iteration2.saturationWeight = parseDecimal(v); }, ""},
    {"--wMode1", K::Integer, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) { w.options.iteration1.mode = modeFrom(v); }, ""},
    {"--wMode2", K::Integer, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) { w.options.iteration2.mode = modeFrom(v); }, ""},
    {"--wExposure", K::Decimal, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) {
         w.options.iteration1.exposureWeight = w.options.iteration2.exposureWeight = parseDecimal(v);
     }, ""},
    {"--wContrast", K::Decimal, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) {
         w.options.iteration1.contrastWeight = w.options.iteration2.contrastWeight = parseDecimal(v);
     }, ""},
    {"--wSaturation", K::Decimal, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) {
         w.options.iteration1.saturationWeight = w.options.iteration2.saturationWeight = parseDecimal(v);
     }, ""},
    {"--wMode", K::Integer, "n", G::Classic, true,
     [](OptionWalk& w, const char* v) { w.options.iteration1.mode = w.options.iteration2.mode = modeFrom(v); }, ""},

    // Options beyond the classic set: spelled in full only.
    {"--scratchCompression", K::Keyword, kCompressionWords, G::Output, false,
     [](OptionWalk& w, const char* v) {
         Compression scratch = w.options.scratchCompression.value_or(w.options.compression);
         if (applyCompression(scratch, v))
             w.options.scratchCompression = scratch;
     },
     "Compression of the scratch files only (default: as --compression)"},
    {"--noMetadata", K::None, nullptr, G::Output, false,
     [](OptionWalk& w, const char*) { w.options.noMetadata = true; },
     "No colour profile and no camera metadata in the output"},
    {"--focusMode", K::Keyword, "select|classic", G::FocusStack, false, applyFocusMode,
     "Focus stacks: select the sharpest frame per pixel, or classic focus blending (default)"},
    {"--depthMap", K::File, "file", G::FocusStack, false,
     [](OptionWalk& w, const char* v) { w.options.depthMapPath = v; },
     "Write the frame chosen at every pixel of the focus stack as a grey TIFF or PNG"},
    {"--rawEngine", K::Keyword, "dcraw|libraw", G::CameraRaw, false, applyRawEngine,
     "Camera RAW decoder (default: dcraw, LibRaw for files dcraw cannot decode)"},
    {"--align", K::None, nullptr, G::Alignment, false, [](OptionWalk& w, const char*) { w.options.align = true; },
     "Align hand-held frames onto a reference frame before fusing"},
    {"--alignRef", K::Integer, "n", G::Alignment, false, applyAlignReference,
     "Reference frame, counted from 1 (default: the middle one)"},
    {"--alignModel", K::Keyword, "translation|euclidean|affine|homography", G::Alignment, false, applyAlignModel,
     "Transform estimated per frame (default: homography)"},
    {"--alignCrop", K::None, nullptr, G::Alignment, false,
     [](OptionWalk& w, const char*) { w.options.align = w.options.alignCrop = true; },
     "Align, then crop to the area every frame covers"},
    {"--alignSave", K::File, "file", G::Alignment, false,
     [](OptionWalk& w, const char* v) {
         w.options.align = true;
         w.options.alignSave = v;
     },
     "Align and write the transforms to this file"},
    {"--alignLoad", K::File, "file", G::Alignment, false,
     [](OptionWalk& w, const char* v) {
         w.options.align = true;
         w.options.alignLoad = v;
     },
     "Apply the transforms of this file instead of estimating them"},
    {"--alignOnly", K::Folder, "folder", G::Alignment, false, applyAlignOnly,
     "Write the aligned frames into this folder and stop"},
    {"--alignKeepFailed", K::None, nullptr, G::Alignment, false,
     [](OptionWalk& w, const char*) { w.options.align = w.options.alignKeepFailed = true; },
     "Fuse frames that cannot be aligned unaligned instead of leaving them out"},
    {"--deghost", K::None, nullptr, G::MovingObjects, false,
     [](OptionWalk& w, const char*) { w.options.deghost = true; },
     "Leave out of each frame what moved against a reference frame"},
    {"--deghostRef", K::Integer, "n", G::MovingObjects, false,
     [](OptionWalk& w, const char* v) {
         w.options.deghost = true;
         w.options.deghostReference = parseInteger(v);
     },
     "Reference frame, counted from 1 (default: the middle one)"},
    {"--batch", K::Folder, "folder", G::Batch, false,
     [](OptionWalk& w, const char* v) { w.commandLine.batch.folder = v; },
     "Split the inputs (files or folders) into brackets and stacks, fuse each into this folder"},
    {"--group", K::Text, "rule", G::Batch, false,
     [](OptionWalk& w, const char* v) { w.commandLine.batch.groupText = v; },
     "How --batch groups the inputs: auto, N files, time:SECONDS, exposure (default auto)"},
    {"--dryRun", K::None, nullptr, G::Batch, false,
     [](OptionWalk& w, const char*) { w.commandLine.batch.dryRun = true; },
     "Print the groups --batch would fuse, and stop"},
    {"--jobs", K::Integer, "n", G::Batch, false,
     [](OptionWalk& w, const char* v) { w.commandLine.batch.jobs = parseInteger(v); },
     "Groups fused at once (default: as many as the cores and the memory allow)"},
    {"--resume", K::None, nullptr, G::Batch, false,
     [](OptionWalk& w, const char*) { w.commandLine.batch.resume = true; },
     "Skip groups whose output exists and is newer than all its inputs"},
    {"--plan", K::File, "file", G::Batch, false,
     [](OptionWalk& w, const char* v) { w.commandLine.batch.planFile = v; },
     "Write one complete command per group to this file (for GNU parallel, job arrays), and stop"},
    {"-q", K::None, nullptr, G::Messages, false, [](OptionWalk& w, const char*) { w.commandLine.quiet = true; },
     "Quiet: only warnings and errors"},
    {"--quiet", K::None, nullptr, G::Messages, false,
     [](OptionWalk& w, const char*) { w.commandLine.quiet = true; }, "The same as -q"},
    {"--help", K::None, nullptr, G::Messages, false,
     [](OptionWalk& w, const char*) { endWith(w, usageText(w.options)); }, "Show this help and stop"},
    {"--version", K::None, nullptr, G::Messages, false,
     [](OptionWalk& w, const char*) {
         w.commandLine.showBanner = false;
         endWith(w, std::string(quovix::versionString()) + "\n");
     },
     "Show the version in one line and stop"},
};

const char* groupTitle(OptionGroup group)
{
    switch (group) {
    case OptionGroup::ClassicMore: return "More Fusion and Debugging Options";
    case OptionGroup::Output: return "Output Options";
    case OptionGroup::FocusStack: return "Focus Stacks";
    case OptionGroup::CameraRaw: return "Camera RAW Options";
    case OptionGroup::Alignment: return "Alignment Options (hand-held frames)";
    case OptionGroup::MovingObjects: return "Moving Objects (ghost removal)";
    case OptionGroup::Batch: return "Many Brackets (batch mode)";
    case OptionGroup::Messages: return "Messages";
    case OptionGroup::Classic: break;
    }
    return "";
}

constexpr OptionGroup kListedGroups[] = {OptionGroup::ClassicMore, OptionGroup::Output,   OptionGroup::FocusStack,
                                         OptionGroup::CameraRaw,   OptionGroup::Alignment, OptionGroup::MovingObjects,
                                         OptionGroup::Batch,       OptionGroup::Messages};

std::string spelling(const OptionRow& row)
{
    std::string text = row.name;
    if (row.kind != ValueKind::None)
        text += std::string(" ") + row.valueName;
    return text;
}

// Roff escapes for the characters a man page would take as commands.
std::string roff(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '-' || c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

} // namespace

std::span<const OptionRow> optionTable()
{
    return kRows;
}

int32_t parseInteger(const char* text)
{
    // Leading decimal integer (blanks and a sign allowed, no digits gives 0),
    // saturated at the 32-bit range instead of overflowing.
    long long value = std::strtoll(text, nullptr, 10);
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
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

std::string extraOptionsText()
{
    std::string text;
    for (OptionGroup group : kListedGroups) {
        text += std::string(" ") + groupTitle(group) + ":\n\n";
        for (const OptionRow& row : kRows) {
            if (row.group != group)
                continue;
            char line[256];
            std::snprintf(line, sizeof line, " %-22s %s\n", spelling(row).c_str(), row.help);
            text += line;
        }
        text += "\n";
    }
    text += " Long options also take their value as --name=value; -- ends the options.\n\n";
    return text;
}

std::string manPageOptionsSection()
{
    std::string text = ".\\\" BEGIN OPTIONS FROM THE OPTION TABLE\n";
    for (OptionGroup group : kListedGroups) {
        text += std::string(".PP\n.I \"") + groupTitle(group) + "\"\n";
        for (const OptionRow& row : kRows) {
            if (row.group != group)
                continue;
            if (row.kind == ValueKind::None)
                text += ".TP\n.B " + roff(row.name) + "\n";
            else
                text += ".TP\n.BI " + roff(row.name) + " \" " + roff(row.valueName) + "\"\n";
            text += roff(row.help) + ".\n";
        }
    }
    text += ".\\\" END OPTIONS FROM THE OPTION TABLE\n";
    return text;
}

std::string bashCompletionScript()
{
    std::string all, files, folders, keywords;
    for (const OptionRow& row : kRows) {
        all += std::string(all.empty() ? "" : " ") + row.name;
        if (row.kind == ValueKind::File)
            files += std::string(files.empty() ? "" : "|") + row.name;
        else if (row.kind == ValueKind::Folder)
            folders += std::string(folders.empty() ? "" : "|") + row.name;
        else if (row.kind == ValueKind::Keyword) {
            std::string words = row.valueName;
            for (char& c : words)
                if (c == '|')
                    c = ' ';
            keywords += std::string("        ") + row.name + ") COMPREPLY=($(compgen -W \"" + words +
                        "\" -- \"$cur\")); return ;;\n";
        }
    }
    std::string valued;
    for (const OptionRow& row : kRows)
        if (row.kind != ValueKind::None && row.kind != ValueKind::File && row.kind != ValueKind::Folder &&
            row.kind != ValueKind::Keyword)
            valued += std::string(valued.empty() ? "" : "|") + row.name;
    return "# bash completion for quovix, generated from its option table\n"
           "_quovix()\n"
           "{\n"
           "    local cur prev\n"
           "    cur=\"${COMP_WORDS[COMP_CWORD]}\"\n"
           "    prev=\"${COMP_WORDS[COMP_CWORD-1]}\"\n"
           "    case \"$prev\" in\n" +
           keywords +
           "        " + files + ") COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n"
           "        " + folders + ") COMPREPLY=($(compgen -d -- \"$cur\")); return ;;\n"
           "        " + valued + ") COMPREPLY=(); return ;;\n"
           "    esac\n"
           "    if [[ \"$cur\" == -* ]]; then\n"
           "        COMPREPLY=($(compgen -W \"" + all + "\" -- \"$cur\"))\n"
           "    else\n"
           "        COMPREPLY=($(compgen -f -- \"$cur\"))\n"
           "    fi\n"
           "}\n"
           "complete -o filenames -F _quovix quovix\n";
}
