// The command line: the walk over the arguments (parseCommandLine) and what
// the run settles from the parsed options and the inputs (setupRun), both
// in-process; the program-level ends (usage, version, fatal lines and exit
// codes) through the built program.
#include "app/command_line.h"
#include "app/environment.h"
#include "fusion/resolve_depths.h"
#include "fusion/run_setup.h"
#include "fusion/settings_check.h"
#include "image_fixture.h"
#include "test_util.h"

#include "quovix/version.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

const std::string kBanner = programBanner();

class CommandLineTest : public ::testing::Test {
protected:
    TempDir dir;                     // inputs
    TestRun testRun_;                // the run made from the parsed options
    FusionRun& run = *testRun_;
    RunSettings& settings = run.settings;
    CommandLine commandLine;
    bool parsed = false;             // the walk let the run go on
    int exitCode = -1;               // the walk's exit code when it ended the run
    std::string searchPath;          // the converter's folders for the parsed options
    Status status;                   // of setupRun

    // A small TIFF (zero pixels) placed at x, y on the canvas; 3 bytes per
    // pixel is 8-bit RGB, 6 is 16-bit RGB.
    std::string tiff(const std::string& name, int width, int height, int bytesPerPixel = 3, int x = 0, int y = 0)
    {
        std::string path = dir.file(name);
        const int bits = bytesPerPixel == 6 ? 16 : 8;
        EXPECT_TRUE(writeFixtureTiff(path, makeFixture(width, height, bytesPerPixel * 8 / bits, bits, x, y)));
        return path;
    }

    // Walks the arguments and, when the walk lets the run go on, settles a
    // fresh run made from the parsed options on the inputs, as the program
    // does (one worker, console on standard output, the run's own temporary
    // folder). Returns everything printed; `parsed`, `exitCode` and `status`
    // tell how it ended.
    std::string attempt(std::vector<std::string> args)
    {
        args.insert(args.begin(), "quovix");
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        testing::internal::CaptureStdout();
        exitCode = -1;
        status = Status();
        parsed = parseCommandLine(static_cast<int>(args.size()), argv.data(), commandLine, exitCode);
        commandLine.options.searchPath = searchPath;
        if (parsed) {
            Options options = commandLine.options;
            const Options defaults = testOptions(testRun_.dir().path());
            options.tempFolder = defaults.tempFolder;
            options.onMessage = defaults.onMessage;
            options.workerCount = 1;
            testRun_.reset(options);
            status = setupRun(run, commandLine.inputs);
        }
        return testing::internal::GetCapturedStdout();
    }

    // attempt() for runs that must settle without error.
    std::string parse(std::vector<std::string> args)
    {
        std::string out = attempt(std::move(args));
        EXPECT_TRUE(parsed) << out;
        EXPECT_TRUE(status.ok()) << status.consoleText();
        return out;
    }

    std::vector<std::string> listPaths() const
    {
        std::vector<std::string> paths;
        for (int i = 0; i < run.images.count(); ++i)
            paths.emplace_back(run.images[i].path);
        return paths;
    }
};

// ---- option semantics ------------------------------------------------------

TEST_F(CommandLineTest, ValueFormsAndConversions)
{
    std::string a = tiff("a.tif", 8, 8);
    parse({"-e", "0,25", "-k", "3.5", "-t", " 0.5x", "-j", "  42abc", "-p", "abc", "-a", "12", "-z", "2",
           "-nl", "-0,5", "-nL", "-0.75", "-nv", "-3", "-u", "2", a});
    const RunSettings& s = settings;
    EXPECT_FLOAT_EQ(s.exposureThreshold, 0.25f);  // decimal comma
    EXPECT_FLOAT_EQ(s.gamma, 3.5f);
    EXPECT_FLOAT_EQ(s.highlightThreshold, 0.5f);   // leading part only
    EXPECT_EQ(s.jpegQuality, 42);
    EXPECT_EQ(s.iterationCount, 0);                // no digits
    EXPECT_EQ(run.depths.outputBits, 8);  // -a 12 -> automatic -> input depth
    EXPECT_EQ(s.exposureWeightMode, 0);            // only 1 selects colour
    EXPECT_FLOAT_EQ(s.noise.lumaThreshold, 0.0f);  // no comma handling: "-0" then ",5"
    EXPECT_FLOAT_EQ(s.noise.lumaFactor, 0.75f);    // absolute value
    EXPECT_EQ(s.noise.lumaLevels, -3);
    EXPECT_EQ(run.depths.exposureBlendLevels, 1);  // limited to levelCount - 1 (2 levels on 8x8)
    EXPECT_TRUE(s.noise.atFinalize);               // implied by a noise option
    EXPECT_EQ(s.converterPath, "dcraw");

    EXPECT_FLOAT_EQ(parseDecimal("1,5e1"), 15.0f);
    EXPECT_FLOAT_EQ(parseDecimal("2.5,7"), 2.5f);  // first comma becomes ".", leading part stops there
    EXPECT_FLOAT_EQ(parseDecimal("x"), 0.0f);
    // A comma beyond the 63 copied characters is not seen.
    std::string longText = std::string(62, '0') + "1,5";
    EXPECT_FLOAT_EQ(parseDecimal(longText.c_str()), 1.0f);
    EXPECT_FLOAT_EQ(parseDecimal(longText.substr(2).c_str()), 1.5f);
}

TEST_F(CommandLineTest, ValueIsNextArgumentWhateverItLooksLike)
{
    std::string a = tiff("a.tif", 8, 8, 6);
    parse({"-o", "-v", "/o", "--bigtiff", "-x", "-h", "--raw", "-w", "-a", "16", a, "-z", "1"});
    const RunSettings& s = settings;
    EXPECT_EQ(s.outputPath, "--bigtiff");  // "/o" works as "-o"; "-v" was the value of the first -o
    EXPECT_EQ(s.verbosity, 0);
    EXPECT_FALSE(s.bigTiff);
    EXPECT_EQ(s.converterPath, "-h");
    EXPECT_EQ(s.converterArgs, "-w");
    EXPECT_FALSE(s.wrapAround);
    EXPECT_EQ(s.outputBits, 16);
    EXPECT_EQ(s.exposureWeightMode, 1);
    EXPECT_EQ(listPaths(), std::vector<std::string>{a});
}

TEST_F(CommandLineTest, FlagsAndFamilies)
{
    std::string a = tiff("a.tif", 8, 8);
    std::string b = tiff("b.tif", 8, 8);
    parse({"-cxyz", "-C", "-dq", "-f", "-w", "-q", "-", "/", "-nx", a, "-nf", b, "-v", "-vvv", "-v"});
    const RunSettings& s = settings;
    EXPECT_TRUE(s.useYCrCb);
    EXPECT_TRUE(s.printCurve);
    EXPECT_FALSE(s.debugKeep || s.showTiming || s.traceResources);  // -dq has no effect
    EXPECT_TRUE(s.keepGroupResults);
    EXPECT_TRUE(s.wrapAround);
    EXPECT_EQ(s.verbosity, 3);  // "-vvv" counts once
    EXPECT_TRUE(s.noise.duringBlend);
    EXPECT_FALSE(s.noise.atFinalize);  // -nf given: no final pass implied
    // -nx swallowed a.tif; -nf gave its value back.
    EXPECT_EQ(listPaths(), std::vector<std::string>{b});

    parse({"-d", "-nb", a});
    EXPECT_TRUE(settings.debugKeep);
    EXPECT_TRUE(settings.noise.duringBlend && settings.noise.atFinalize && settings.useYCrCb);

    parse({"-dt", "-nr", "5", "-nC", "-0.2", a});
    EXPECT_TRUE(settings.showTiming);
    EXPECT_FALSE(settings.debugKeep);
    EXPECT_EQ(settings.noise.radius, 5);
    EXPECT_FLOAT_EQ(settings.noise.chromaFactor, 0.2f);
    EXPECT_TRUE(settings.noise.atFinalize);
    EXPECT_FALSE(settings.useYCrCb);
}

TEST_F(CommandLineTest, LongOptionsMatchInTableOrder)
{
    std::string a = tiff("a.tif", 8, 8);
    parse({"--wExposure1", "0.25", "--wContrast1", "0.75", "--wMode2", "2", "--wMode1x", "0", "---cBrX", "1,5",
           "--gLevelsWeight", "0.3", "--wIterations", "1", "--cFh", "0.2", "--unknown", a});
    const RunSettings& s = settings;
    EXPECT_FLOAT_EQ(s.iteration1.exposureWeight, 0.25f);
    EXPECT_FLOAT_EQ(s.iteration1.contrastWeight, 0.75f);
    EXPECT_FLOAT_EQ(s.iteration2.exposureWeight, 1.0f);  // untouched by the numbered form
    EXPECT_EQ(s.iteration1.mode, CombineMode::Average);
    EXPECT_EQ(s.iteration2.mode, CombineMode::Hybrid);
    EXPECT_FLOAT_EQ(s.curve.brightness, 1.5f);  // found inside the argument
    EXPECT_FLOAT_EQ(s.levelsAdjust.weight, 0.3f);
    EXPECT_FLOAT_EQ(s.levelsAdjust.whitePoint, 1.0f);  // -gLevelsWP not confused with -gLevelsWeight
    EXPECT_TRUE(s.levelsAdjust.enabled);
    EXPECT_EQ(s.iterationCount, 1);
    EXPECT_FLOAT_EQ(s.curve.floorHighlight, 0.2f);
    EXPECT_FLOAT_EQ(s.curve.floorShadow, 0.1f);
    EXPECT_EQ(listPaths(), std::vector<std::string>{a});  // unknown long option takes no value

    parse({"--wMode", "2", "--wExposure", "2", "--wContrast", "0", "--wSaturation", "0", a});
    EXPECT_EQ(settings.iteration1.mode, CombineMode::Hybrid);
    EXPECT_EQ(settings.iteration2.mode, CombineMode::Hybrid);
    EXPECT_FLOAT_EQ(settings.iteration1.exposureWeight, 1.0f);  // rescaled silently
    EXPECT_FLOAT_EQ(settings.iteration2.exposureWeight, 1.0f);
    EXPECT_FLOAT_EQ(settings.iteration1.contrastWeight, 0.0f);
}

TEST_F(CommandLineTest, CompressionKeywordsAreExactAndLaterOptionsWin)
{
    std::string a = tiff("a.tif", 8, 8);
    parse({"--compression", "DEFLATE", "--compression", "lzw", "--compression", "zip", a});
    EXPECT_EQ(settings.tiffCompression(), 32946);
    parse({"--compression", "PACKBITS", "--compression", "NONE", "-l", "5", "-l", "+2", a});
    EXPECT_EQ(settings.tiffCompression(), 1);
    EXPECT_EQ(settings.levelOffset, 2);
    std::string out = parse({"-l", "-1", "-l", "4", "--compression", "NONE", "--compression", "LZW ", a});
    EXPECT_EQ(settings.levelOffset, 0);
    EXPECT_EQ(run.depths.levelCount, 3);  // 4 asked, 8x8 allows 3
    EXPECT_EQ(out, "Cannot use 4 levels...using 3 levels instead\n");
    EXPECT_EQ(settings.tiffCompression(), 1);
}

TEST_F(CommandLineTest, WeightsRescaledSilentlyButZeroSumLeftForValidation)
{
    std::string a = tiff("a.tif", 8, 8);
    std::string out = parse({"--wExposure2", "1", "--wContrast2", "1", "--wSaturation2", "1",
                             "--wExposure1", "0", "--wContrast1", "0", a});
    EXPECT_EQ(out, "");
    EXPECT_FLOAT_EQ(settings.iteration2.exposureWeight, 1.0f / 3.0f);
    EXPECT_FLOAT_EQ(settings.iteration2.saturationWeight, 1.0f / 3.0f);
    EXPECT_EQ(settings.iteration1.contrastWeight, 0.0f);  // nothing to divide by

    testing::internal::CaptureStdout();
    validateSettings(run);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Invalid weights (must sum to 1 for each iteration)...resetting\n");
    EXPECT_EQ(settings.iteration1.contrastWeight, 1.0f);
    EXPECT_EQ(settings.iteration1.exposureWeight, 0.0f);
}

// ---- auto-bracketing ----------------------------------------------------------

TEST_F(CommandLineTest, BracketingFormsOrderEntries)
{
    std::string a = tiff("a.tif", 4, 4);
    std::string b = tiff("b.tif", 4, 4);
    std::string c = tiff("c.tif", 4, 4);
    const std::string out = parse({"-b", "1", a, b, c});
    ASSERT_EQ(run.images.count(), 9);
    for (int i = 0; i < 3; ++i) {
        std::string input = std::vector<std::string>{a, b, c}[i];
        EXPECT_EQ(run.images[3 * i].path, run.scratch.scratchName(input, "exp", -10));
        EXPECT_EQ(run.images[3 * i + 1].path, input);
        EXPECT_EQ(run.images[3 * i + 2].path, run.scratch.scratchName(input, "exp", 10));
        EXPECT_EQ(run.images[3 * i].type, TypeExposureAdjusted);
        EXPECT_EQ(run.images[3 * i + 1].type, TypeInput);
        EXPECT_EQ(run.images[3 * i + 2].scale, ScaleFull);
        EXPECT_TRUE(fileExists(run.images[3 * i].path));
        EXPECT_TRUE(fileExists(run.images[3 * i + 2].path));
    }
    EXPECT_NE(out.find("[1/3] Pre-Processing " + a + "\nAdjusting exposure by -1.00 stops\n"), std::string::npos);
    EXPECT_NE(out.find("[3/3] Pre-Processing " + c + "\nAdjusting exposure by 1.00 stops\n"), std::string::npos);

    parse({"-b", "+0,5", a, b});
    ASSERT_EQ(listPaths(), (std::vector<std::string>{a, run.scratch.scratchName(a, "exp", 5), b, run.scratch.scratchName(b, "exp", 5)}));
    EXPECT_NE(listPaths()[1].find("a05_exp_"), std::string::npos);

    parse({"-b", "-0.5", a, b});
    ASSERT_EQ(listPaths(), (std::vector<std::string>{run.scratch.scratchName(a, "exp", -5), a, run.scratch.scratchName(b, "exp", -5), b}));
    EXPECT_NE(listPaths()[0].find("a-05_exp_"), std::string::npos);

    // The automatic name follows the first and last entries of the list.
    EXPECT_EQ(settings.outputPath.rfind("a-05_exp_", 0), 0u);

    // A shift without end has no image to produce: that direction stays off.
    const std::string warned = parse({"-b", "inf", "-b", "+1", a});
    EXPECT_EQ(warned.rfind("Invalid auto-bracketing value inf...ignoring\n[1/1] Pre-Processing " + a +
                            "\nAdjusting exposure by 1.00 stops\n", 0),
              0u) << warned;
    EXPECT_EQ(listPaths(), (std::vector<std::string>{a, run.scratch.scratchName(a, "exp", 10)}));
}

TEST_F(CommandLineTest, BracketingInScaledRunMakesCacheCopies)
{
    std::string a = tiff("a.tif", 40, 20);
    parse({"--gScale", "0,5", "-b", "+1", a});
    ASSERT_EQ(run.images.count(), 2);
    EXPECT_EQ(run.images[1].path, run.scratch.cacheName(a, 0.5f, 1.0f));
    EXPECT_EQ(run.images[1].type, TypePreviewCache);
    EXPECT_EQ(run.images[1].scale, ScaleScaled);
    EXPECT_EQ(run.images[0].type, TypeInput);
    EXPECT_EQ(run.images[0].scale, ScaleFull);
    EXPECT_TRUE(fileExists(run.images[1].path));
}

// ---- after the walk: canvas, scale, bits, name, levels --------------------------

TEST_F(CommandLineTest, CanvasIsBoundingBoxOfPlacedInputs)
{
    std::string a = tiff("a.tif", 10, 20, 3, 30, 40);
    std::string b = tiff("b.tif", 50, 5, 6, 25, 100);
    parse({a, b});
    EXPECT_EQ(run.canvas.x, 25);
    EXPECT_EQ(run.canvas.y, 40);
    EXPECT_EQ(run.canvas.width, 50);   // 25..74
    EXPECT_EQ(run.canvas.height, 65);  // 40..104
    EXPECT_EQ(run.depths.outputBits, 16);  // largest input depth
    EXPECT_FLOAT_EQ(settings.scaleFactor, 1.0f);
    EXPECT_FALSE(settings.scaled);
    // What classification found stays with each entry.
    ASSERT_EQ(run.images.count(), 2);
    EXPECT_TRUE(run.images[0].info.known);
    EXPECT_EQ(run.images[0].info.format, FileFormat::Tiff);
    EXPECT_EQ(run.images[0].info.region.x, 30);
    EXPECT_EQ(run.images[0].info.region.y, 40);
    EXPECT_EQ(run.images[0].info.bitsPerSample, 8);
    EXPECT_EQ(run.images[1].info.bytesPerPixel, 6);
    EXPECT_EQ(run.images[1].info.bitsPerSample, 16);
}

// Each input is opened once to be classified, bracketing copies included
// (they are made from what the classification found).
TEST_F(CommandLineTest, EachInputIsClassifiedOnce)
{
    std::string a = tiff("a.tif", 8, 8);
    std::string b = tiff("b.tif", 8, 8);
    auto opens = [](const std::string& out, const std::string& input) {
        const std::string open = "File|" + input + "|open(r)|";
        size_t count = 0;
        for (size_t at = out.find(open); at != std::string::npos; at = out.find(open, at + 1))
            ++count;
        return count;
    };
    std::string out = parse({"-dm", a, b});
    EXPECT_EQ(opens(out, a), 1u) << out;
    EXPECT_EQ(opens(out, b), 1u) << out;
    // Once to classify, once to read the pixels for the copy.
    out = parse({"-dm", "-b", "+1", a, b});
    EXPECT_EQ(opens(out, a), 2u) << out;
    EXPECT_EQ(opens(out, b), 2u) << out;
}

TEST_F(CommandLineTest, ConstraintScalesCanvasToEightBitJpeg)
{
    // Two single pixels spanning a 4000 x 2000 canvas.
    std::string a = tiff("a.tif", 1, 1, 6, 0, 0);
    std::string c = tiff("c.tif", 1, 1, 6, 3999, 1999);
    parse({"--gConstrain", "800x600", a, c});
    EXPECT_EQ(settings.scaleFactor, 0.2f);
    EXPECT_EQ(run.canvas.width, 800);
    EXPECT_EQ(run.canvas.height, 400);
    EXPECT_EQ(run.depths.outputBits, 8);
    EXPECT_TRUE(settings.scaled);
    EXPECT_EQ(settings.outputPath, "a-c_fused_l0_e100_c0_s0_br00_co00_sh00_hi00_fs01_fh01.jpg");
    EXPECT_EQ(run.depths.levelCount, 7);  // 400 -> 3 in 7 halvings

    // The walk keeps the --gScale value (1 when none is given) whatever
    // --gConstrain says; the run resolves the factor from both.
    EXPECT_EQ(commandLine.options.scaleFactor, 1.0f);
    struct Case {
        std::vector<std::string> options;
        float given;   // options.scaleFactor after the walk
        float factor;  // resolved by the run
        const char* message;
    };
    const Case cases[] = {
        {{"--gConstrain", "8000x8000"}, 1.0f, 1.0f, ""},                      // never enlarged
        {{"--gScale", "0.5", "--gConstrain", "800x600"}, 0.5f, 0.2f, ""},     // the constraint wins
        {{"--gConstrain", "800x600", "--gScale", "0.5"}, 0.5f, 0.2f, ""},     // in either order
        {{"--gScale", "0,25"}, 0.25f, 0.25f, ""},
        {{"--gScale", "3"}, 3.0f, 1.0f, ""},
        {{"--gScale", "abc"}, 0.0f, 1.0f, "Invalid scale factor...resetting to 1\n"},
        {{"--gScale", "-0.5"}, -0.5f, 1.0f, "Invalid scale factor...resetting to 1\n"},
        {{"--gConstrain", "-800x600"}, 1.0f, 1.0f, "Invalid scale factor...resetting to 1\n"},
        {{"--gScale", "0.0001"}, 0.0001f, 1.0f, "Invalid scale factor...resetting to 1\n"},  // empty canvas
        {{"--gConstrain", "800"}, 1.0f, 1.0f, ""},                            // no height: constraint off
        {{"--gScale", "0.5", "--gConstrain", "800"}, 0.5f, 0.5f, ""},         // ... and --gScale counts
    };
    for (const Case& k : cases) {
        std::vector<std::string> args = k.options;
        args.push_back(a);
        args.push_back(c);
        std::string out = parse(args);
        SCOPED_TRACE(k.options[0] + " " + k.options[1]);
        EXPECT_EQ(commandLine.options.scaleFactor, k.given);
        EXPECT_EQ(settings.scaleFactor, k.factor);
        EXPECT_TRUE(settings.scaled);
        EXPECT_EQ(run.depths.outputBits, 8);
        EXPECT_EQ(out, k.message);
    }
    EXPECT_EQ(settings.constrainWidth, 800);
    EXPECT_EQ(settings.constrainHeight, 0);
}

// The factor is a single-precision quotient, each product is single precision,
// and 0.49999999 is added in double: an exact .5 rounds down, a product just
// above it rounds up. Two pixels span each canvas.
TEST_F(CommandLineTest, CanvasScalingRoundsSinglePrecisionProducts)
{
    struct Case {
        std::vector<std::string> options;
        int x0, y0, x1, y1;  // the two pixels
        float factor;
        ImageRegion canvas;
    };
    const Case cases[] = {
        // 25 x 0.3f is 7.50000048 in single precision: 8 (a double quotient gives 7).
        {{"--gConstrain", "12x1000"}, 0, 0, 39, 24, 12.0f / 40.0f, {0, 0, 12, 8}},
        // 6 x (11/12)f is exactly 5.5 in single precision: 5 (a double product gives 6).
        {{"--gConstrain", "11x1000"}, 0, 0, 11, 5, 11.0f / 12.0f, {0, 0, 11, 5}},
        // 301, 201, 101 and 51 halved: every .5 rounds down.
        {{"--gScale", "0.5"}, 101, 51, 401, 251, 0.5f, {50, 25, 150, 100}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.options[1]);
        std::vector<std::string> args = k.options;
        args.push_back(tiff("p0.tif", 1, 1, 3, k.x0, k.y0));
        args.push_back(tiff("p1.tif", 1, 1, 3, k.x1, k.y1));
        EXPECT_EQ(parse(args), "");
        EXPECT_EQ(settings.scaleFactor, k.factor);
        EXPECT_EQ(run.canvas.x, k.canvas.x);
        EXPECT_EQ(run.canvas.y, k.canvas.y);
        EXPECT_EQ(run.canvas.width, k.canvas.width);
        EXPECT_EQ(run.canvas.height, k.canvas.height);
    }
}

TEST_F(CommandLineTest, LevelsResolvedAgainstScaledCanvas)
{
    std::string a = tiff("a.tif", 120, 100);
    struct Case {
        std::vector<std::string> options;
        int levels;
        const char* message;
    };
    const Case cases[] = {
        {{}, 5, ""},
        {{"-l", "5"}, 5, ""},
        {{"-l", "6"}, 6, ""},
        {{"-l", "7"}, 6, "Cannot use 7 levels...using 6 levels instead\n"},
        {{"-l", "-2"}, 3, ""},
        {{"-l", "-9"}, 1, "Cannot use -4 levels...using 1 levels instead\n"},
        {{"-l", "+3"}, 6, "Cannot use 8 levels...using 6 levels instead\n"},
        {{"-l", "+2147483647"}, 6, "Cannot use 2147483647 levels...using 6 levels instead\n"},
        {{"--gScale", "0.5"}, 4, ""},  // 50 -> 3 in 4 halvings
    };
    for (const Case& k : cases) {
        std::vector<std::string> args = k.options;
        args.push_back(a);
        std::string out = parse(args);
        SCOPED_TRACE(k.options.empty() ? "default" : k.options[1]);
        EXPECT_EQ(run.depths.levelCount, k.levels);
        EXPECT_EQ(out, k.message);
    }

    // Limits derived from the resolved count.
    parse({"-l", "3", "-u", "9", "-nv", "9", "-nw", "2", a});
    EXPECT_EQ(run.depths.exposureBlendLevels, 2);
    EXPECT_EQ(run.depths.lumaLevels, 3);
    EXPECT_EQ(run.depths.chromaLevels, 2);

    // A smaller side of 3 or less leaves exactly one level, and the limits
    // follow it down; the options keep what was asked.
    Options asked;
    asked.exposureBlendLevels = 4;
    asked.noise.lumaLevels = 3;
    std::string notice = "stale";
    RunDepths d = resolveDepths(asked, ImageRegion{0, 0, 500, 3}, 16, notice);
    EXPECT_EQ(notice, "");
    EXPECT_EQ(d.levelCount, 1);
    EXPECT_EQ(d.exposureBlendLevels, 0);
    EXPECT_EQ(d.lumaLevels, 1);
    EXPECT_EQ(d.outputBits, 16);  // the deepest input's, when none is asked for
    EXPECT_EQ(asked.levelCount, 0);
    asked.levelCount = 3;
    d = resolveDepths(asked, ImageRegion{0, 0, 500, 3}, 16, notice);
    EXPECT_EQ(notice, "Cannot use 3 levels...using 1 levels instead\n");
    EXPECT_EQ(d.levelCount, 1);
    // Previews are 8 bits, whatever was asked.
    asked.outputBits = 16;
    asked.scaled = true;
    EXPECT_EQ(resolveDepths(asked, ImageRegion{0, 0, 64, 64}, 8, notice).outputBits, 8);
    asked.scaled = false;
    EXPECT_EQ(resolveDepths(asked, ImageRegion{0, 0, 64, 64}, 8, notice).outputBits, 16);
}

TEST_F(CommandLineTest, AutomaticOutputName)
{
    std::string a = tiff("a.tif", 8, 8);
    std::string b = tiff("b.tif", 8, 8);
    std::string c = tiff("c.tif", 8, 8);
    std::string out = parse({"-v", a, b, c});
    EXPECT_EQ(settings.outputPath, "a-c_fused_l0_e100_c0_s0_br00_co00_sh00_hi00_fs01_fh01.tif");
    EXPECT_EQ(out, "Input file list:\n  " + a + ", exposure=0.00\n  " + b + ", exposure=0.00\n  " + c +
                       ", exposure=0.00\n\n\n");

    // Values at the time of naming: the unsigned -l value, rescaled weights,
    // curve values scaled by 10.00001 and truncated toward zero.
    RunSettings named;
    named.levelCount = 4;
    named.iteration2 = IterationParams{1.0f / 3.0f, 1.0f / 3.0f, 1.0f / 3.0f, CombineMode::Average};
    named.curve = CurveParams{-2.5f, 0.1f, -0.05f, 5.0f, 0.0f, 1.0f};
    EXPECT_EQ(makeOutputName(named, "C:\\shots\\first.raw.tif", "/x/y/last"),
              "first.raw-last_fused_l4_e33_c33_s33_br01_co-25_sh00_hi50_fs00_fh10.tif");
    named.scaled = true;
    named.curve.brightness = 1e30f;  // not yet validated: must not be undefined
    EXPECT_EQ(makeOutputName(named, "a", "b"),
              "a-b_fused_l4_e33_c33_s33_br-2147483648_co-25_sh00_hi50_fs00_fh10.jpg");

    parse({"-o", "given.tif", "-l", "+1", a});
    EXPECT_EQ(settings.outputPath, "given.tif");
}

TEST_F(CommandLineTest, AbsolutePathsAreInputsNotOptions)
{
    std::string a = tiff("a.tif", 8, 8);
    ASSERT_EQ(a[0], '/');
    parse({a, "/o", "named.tif"});
    EXPECT_EQ(listPaths(), std::vector<std::string>{a});
    EXPECT_EQ(settings.outputPath, "named.tif");
}

// ---- runs that end early ------------------------------------------------------

TEST_F(CommandLineTest, UsageVersionAndFatalEnds)
{
    std::string usage = attempt({"-p", "1", "--wExposure1", "0.5", "-h", "-V"});
    EXPECT_FALSE(parsed);
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(usage.rfind(" Usage: \n\n    Quovix [options] input_file", 0), 0u);
    EXPECT_NE(usage.find("  -p n           Number of fusion iterations (1 or 2). Default=1\n"), std::string::npos);
    EXPECT_NE(usage.find("  --wMode1 n       Laplacian combination mode for iteration 1. Default=1\n"),
              std::string::npos);
    EXPECT_NE(usage.find("Weight for well-exposed pixels for iteration 1. Default=0.50\n"), std::string::npos);
    EXPECT_NE(usage.find("Default=0.33\n  -z n         Exposure weight creation mode: 0=Greyscale, 1=Color. "
                         "Default=0\n  -k n         Gamma: Used to compute relative exposures. Default=2.20\n"
                         "\n\n\n\n\n GUI Specific Options:\n"),
              std::string::npos);
    // The classic text ends as it always did; the generated section follows.
    const std::string tail = " --info \"file\"  show information about raw file specified in file\n\n\n";
    const size_t classicEnd = usage.find(tail);
    ASSERT_NE(classicEnd, std::string::npos);
    EXPECT_EQ(usage.compare(classicEnd + tail.size(), 36, " More Fusion and Debugging Options:\n"), 0);
    EXPECT_EQ(usage.find("Quovix " QUOVIX_VERSION), std::string::npos);  // -V after -h is never read

    const std::string noArgs = attempt({});
    EXPECT_FALSE(parsed);
    EXPECT_EQ(exitCode, 0);
    EXPECT_NE(noArgs.find("Default=2\n"), std::string::npos);

    const std::string version = attempt({"-V", "-h"});
    EXPECT_FALSE(parsed);
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(version.rfind("Quovix " QUOVIX_VERSION "\n", 0), 0u);
    EXPECT_EQ(version.find(" Usage:"), std::string::npos);
    for (const char* credit : {"MIT License", "libtiff", "libjpeg-turbo", "dcraw"})
        EXPECT_NE(version.find(credit), std::string::npos) << credit;

    std::string a = tiff("a.tif", 8, 8);
    EXPECT_EQ(attempt({a, "-o"}), "Missing value for option -o\n");
    EXPECT_FALSE(parsed);
    EXPECT_EQ(exitCode, 1);
    EXPECT_EQ(attempt({a, "--cBr"}), "Missing value for option --cBr\n");
    EXPECT_FALSE(parsed);
    EXPECT_EQ(exitCode, 1);
    parse({a, "-nf"});  // takes no value
    parse({a, "-nq"});  // nothing to skip

    // No input: the run settles, prints what it has, and ends for want of images.
    EXPECT_EQ(attempt({"-v", "-b", "1"}), "Input file list:\n\n\n");
    EXPECT_TRUE(parsed);
    EXPECT_EQ(status.exitCode(), 1);
    EXPECT_EQ(status.consoleText(), "Fatal Error: Not enough images specified for fusion\n");

    const std::string missing = dir.file("missing.tif");
    EXPECT_EQ(attempt({missing}), "");
    EXPECT_TRUE(parsed);
    EXPECT_EQ(status.exitCode(), 1);
    EXPECT_EQ(status.consoleText(), "Error: Cannot open file: " + missing + "\n");

    // Tiny inputs far apart would need a canvas beyond any buffer.
    std::string far = tiff("far.tif", 1, 1, 3, 30000, 30000);
    EXPECT_EQ(attempt({a, far}), "");
    EXPECT_TRUE(parsed);
    EXPECT_EQ(status.exitCode(), kExitIoError);
    EXPECT_EQ(status.consoleText(), "Canvas of 30001x30001 pixels out of range (inputs placed too far apart)\n");
}

// What the user sees of the same ends: the banner, then exactly what the walk
// or the settled run printed and the final text, and the exit code the shell
// gets (-1 as 255).
TEST_F(CommandLineTest, ProgramShowsTheSameEnds)
{
    if (!fileExists(QUOVIX_BIN))
        GTEST_SKIP() << "quovix binary not built";
    const std::string a = tiff("a.tif", 8, 8);
    const std::string far = tiff("far.tif", 1, 1, 3, 30000, 30000);
    struct Case {
        std::vector<std::string> args;
        int shellCode;
    };
    const Case cases[] = {
        {{}, 0},
        {{"-V"}, 0},
        {{"-p", "1", "-h"}, 0},
        {{a, "-o"}, 1},
        {{"-v", "-b", "1"}, 1},
        {{dir.file("missing.tif")}, 1},
        {{a, far}, 255},
    };
    const std::string temp = dir.file("tmp");
    std::filesystem::create_directory(temp);
    for (const Case& k : cases) {
        std::string shown;
        for (const std::string& s : k.args)
            shown += s + " ";
        SCOPED_TRACE(shown);
        std::string expected = kBanner + attempt(k.args);
        if (parsed) {
            ASSERT_FALSE(status.ok());
            expected += status.consoleText();
            EXPECT_EQ(status.exitCode() & 0xFF, k.shellCode);
        } else {
            EXPECT_EQ(exitCode, k.shellCode);
        }
        const CommandResult r = runQuovix(k.args, dir.path(), {"TMPDIR=" + temp});
        EXPECT_EQ(r.exitCode, k.shellCode);
        EXPECT_EQ(r.output, expected);
    }
}

// Random argument lists: the walk and the settled run must end with one of
// the program's exit codes or go on, never crash or hang.
TEST_F(CommandLineTest, FuzzedArgumentListsTerminateCleanly)
{
    const std::string a = tiff("a.tif", 6, 5);
    const std::string b = tiff("b.tif", 7, 4, 6, 3, 2);
    const std::vector<std::string> words = {
        "-a", "-b", "-c", "-C", "-d", "-dt", "-dm", "-dz", "-e", "-f", "-j", "-k", "-l", "-n", "-nl", "-nL",
        "-nc", "-nC", "-nv", "-nw", "-nr", "-nf", "-nb", "-nq", "-o", "-p", "-t", "-u", "-v", "-w", "-z",
        "/o", "/l", "--gScale", "--gConstrain", "--gLevelsBP", "--gLevelsWP", "--gLevelsWeight",
        "--gLevelsFactor", "--cBr", "--cCo", "--cSh", "--cHi", "--cFs", "--cFh", "--compression", "--bigtiff",
        "--wIterations", "--wExposure1", "--wExposure2", "--wContrast1", "--wContrast2", "--wSaturation1",
        "--wSaturation2", "--wMode1", "--wMode2", "--wExposure", "--wContrast", "--wSaturation", "--wMode",
        "--nothing", "--info", "-x", "-h", "-V", "-", "--", "/", "",
    };
    const std::vector<std::string> values = {
        "0", "1", "-1", "+2", "0,5", "-0.5", "1e9", "-1e30", "nan", "inf", "abc", "", "-", "--", "/",
        "800x600", "x", "8000x", "2147483648", "-2147483649", "LZW", "NONE", "3x2", a, b,
        std::string(5000, '9'), std::string(20000, 'q'),
    };
    std::mt19937 rng(20260401u);
    auto pick = [&rng](const std::vector<std::string>& pool) {
        return pool[std::uniform_int_distribution<size_t>(0, pool.size() - 1)(rng)];
    };
    // Fuzzed names reach the RAW path: no converter must be started for them.
    searchPath = "/nonexistent";
    int settled = 0, ended = 0;
    for (int round = 0; round < 200; ++round) {
        std::vector<std::string> args;
        int count = std::uniform_int_distribution<int>(0, 10)(rng);
        for (int i = 0; i < count; ++i) {
            switch (std::uniform_int_distribution<int>(0, 5)(rng)) {
            case 0:
            case 1:
            case 2: args.push_back(pick(words)); break;
            case 3:
            case 4: args.push_back(pick(values)); break;
            default: args.push_back(pick(words) + pick(values).substr(0, 12)); break;
            }
        }
        if (round % 3 != 0)
            args.push_back(round % 2 ? a : b);
        std::string shown;
        for (const std::string& s : args)
            shown += "[" + s.substr(0, 24) + "] ";
        attempt(args);
        int code = exitCode;
        if (parsed && commandLine.infoGiven) {
            // As the program: describe the file and stop.
            code = describeRawFile(commandLine.options, commandLine.infoFile);
        } else if (parsed) {
            code = status.exitCode();
            if (status.ok()) {
                testing::internal::CaptureStdout();
                validateSettings(run);
                testing::internal::GetCapturedStdout();
                EXPECT_GT(run.images.count(), 0) << shown;
                EXPECT_GE(run.depths.levelCount, 1) << shown;
                ++settled;
            } else {
                EXPECT_FALSE(status.consoleText().empty()) << shown;
                ++ended;
            }
        }
        EXPECT_TRUE(code == kExitOk || code == kExitFatal || code == kExitIoError)
            << "exit " << code << " for " << shown;
    }
    // Both outcomes are exercised.
    EXPECT_GT(settled, 20);
    EXPECT_GT(ended, 20);
}

// The environment reaches a run through the command line only, and only
// where the command line left a field open.
TEST(Environment, FillsWhatTheCommandLineLeftOpen)
{
    struct Case {
        const char* value;
        int expected;
    } cases[] = {{"0", 1}, {"-3", 1}, {"abc", 1}, {"", 1}, {"3", 3}, {"8", 8},
                 {"16", 8}, {"4xyz", 4}, {"99999999999999999999", 8}};
    for (const Case& c : cases) {
        setenv("NUMBER_OF_PROCESSORS", c.value, 1);
        EXPECT_EQ(workerCountFromEnvironment(), c.expected) << "value '" << c.value << "'";
    }
    unsetenv("NUMBER_OF_PROCESSORS");
    int online = workerCountFromEnvironment();
    EXPECT_GE(online, 1);
    EXPECT_LE(online, 8);

    setenv("NUMBER_OF_PROCESSORS", "3", 1);
    setenv("TMPDIR", "/env/tmp", 1);
    setenv("QVXTRACE", std::string(300, 'q').c_str(), 1);
    const std::string savedPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", "/env/bin:/usr/bin", 1);
    quovix::Options open;
    takeEnvironment(open);
    EXPECT_EQ(open.workerCount, 3);
    EXPECT_EQ(open.tempFolder, "/env/tmp");
    EXPECT_EQ(open.debugLogPath, std::string(255, 'q'));
    EXPECT_EQ(open.searchPath, "/env/bin:/usr/bin");
    quovix::Options given;
    given.workerCount = 1;
    given.tempFolder = "/given";
    given.debugLogPath = "given.log";
    given.searchPath = "/given/bin";
    takeEnvironment(given);
    EXPECT_EQ(given.workerCount, 1);
    EXPECT_EQ(given.tempFolder, "/given");
    EXPECT_EQ(given.debugLogPath, "given.log");
    EXPECT_EQ(given.searchPath, "/given/bin");
    // An empty PATH is the working folder, as the shell reads it.
    setenv("PATH", "", 1);
    quovix::Options emptyPath;
    takeEnvironment(emptyPath);
    EXPECT_EQ(emptyPath.searchPath, ".");
    setenv("PATH", savedPath.c_str(), 1);
    unsetenv("NUMBER_OF_PROCESSORS");
    unsetenv("TMPDIR");
    unsetenv("QVXTRACE");
}

} // namespace
