#include "app/command_line.h"
#include "app/run_settings.h"
#include "imageio/image_types.h"
#include "imageio/tiff_io.h"
#include "support/memory.h"
#include "support/scratch_files.h"
#include "support/settings.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

struct ChildResult {
    int exitCode = -1;    // 0..255, or -1 when the child was killed
    int signal = 0;
    std::string output;   // standard output of the child
    std::string errors;   // standard error (sanitizer reports land here)
};

// Runs fn in a forked child with standard output captured. A child that
// returns from fn exits with kReturned.
constexpr int kReturned = 77;

ChildResult runInChild(const std::string& outFile, const std::function<void()>& fn)
{
    std::fflush(stdout);
    ChildResult result;
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, STDOUT_FILENO);
        close(fd);
        int err = open((outFile + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(err, STDERR_FILENO);
        close(err);
        alarm(20); // a hang shows up as a killed child
        fn();
        std::fflush(stdout);
        _exit(kReturned);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    result.output = readFile(outFile);
    result.errors = readFile(outFile + ".err");
    return result;
}

class CommandLineTest : public ::testing::Test {
protected:
    TempDir dir;

    // TMPDIR as the test binary found it, restored after each test.
    static const std::string& originalTmp()
    {
        static const std::string value = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
        return value;
    }

    void SetUp() override
    {
        originalTmp();
        setenv("TMPDIR", dir.path().c_str(), 1);
        fresh();
    }

    // Settings, list and canvas as at process start.
    void fresh()
    {
        resetScratchFolders();
        resetSettings();
        if (gImages.paths != nullptr)
            releaseImageList(gImages);
        gImages = ImageList{};
        gCanvas = ImageRegion{};
    }

    void TearDown() override
    {
        finishRunFolder(false);
        resetScratchFolders();
        if (gImages.paths != nullptr)
            releaseImageList(gImages);
        resetSettings();
        if (originalTmp().empty())
            unsetenv("TMPDIR");
        else
            setenv("TMPDIR", originalTmp().c_str(), 1);
    }

    // A small TIFF (zero pixels) placed at x, y on the canvas.
    std::string tiff(const std::string& name, int width, int height, int bytesPerPixel = 3, int x = 0, int y = 0)
    {
        std::string path = dir.file(name);
        std::vector<unsigned char> pixels(static_cast<size_t>(width) * height * bytesPerPixel, 0);
        ImageRegion region{x, y, width, height};
        EXPECT_EQ(writeTiffImage(path, pixels.data(), width, height, bytesPerPixel, 0, &region), 0);
        return path;
    }

    // Parses in-process and returns what was printed.
    std::string parse(std::vector<std::string> args)
    {
        args.insert(args.begin(), "quovix");
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        testing::internal::CaptureStdout();
        parseCommandLine(static_cast<int>(args.size()), argv.data());
        return testing::internal::GetCapturedStdout();
    }

    // Parses in a child process (for runs that end the process).
    // noConverter: fuzzed names reach the RAW path; no converter is found
    // then, so each case fails fast instead of starting a real one.
    ChildResult parseInChild(std::vector<std::string> args, bool noConverter = false)
    {
        args.insert(args.begin(), "quovix");
        return runInChild(dir.file("child.out"), [&args, noConverter] {
            if (noConverter)
                setenv("PATH", "/nonexistent", 1);
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            parseCommandLine(static_cast<int>(args.size()), argv.data());
        });
    }

    std::vector<std::string> listPaths() const
    {
        std::vector<std::string> paths;
        for (int i = 0; i < gImages.count(); ++i)
            paths.emplace_back(gImages.paths[i]);
        return paths;
    }
};

// ---- option semantics ------------------------------------------------------

TEST_F(CommandLineTest, ValueFormsAndConversions)
{
    std::string a = tiff("a.tif", 8, 8);
    parse({"-e", "0,25", "-k", "3.5", "-t", " 0.5x", "-j", "  42abc", "-p", "abc", "-a", "12", "-z", "2",
           "-nl", "-0,5", "-nL", "-0.75", "-nv", "-3", "-u", "2", a});
    const RunSettings& s = gSettings;
    EXPECT_FLOAT_EQ(s.exposureThreshold, 0.25f);  // decimal comma
    EXPECT_FLOAT_EQ(s.gamma, 3.5f);
    EXPECT_FLOAT_EQ(s.highlightThreshold, 0.5f);   // leading part only
    EXPECT_EQ(s.jpegQuality, 42);
    EXPECT_EQ(s.iterationCount, 0);                // no digits
    EXPECT_EQ(s.outputBits, 8);                    // -a 12 -> automatic -> input depth
    EXPECT_EQ(s.exposureWeightMode, 0);            // only 1 selects colour
    EXPECT_FLOAT_EQ(s.noise.lumaThreshold, 0.0f);  // no comma handling: "-0" then ",5"
    EXPECT_FLOAT_EQ(s.noise.lumaFactor, 0.75f);    // absolute value
    EXPECT_EQ(s.noise.lumaLevels, -3);
    EXPECT_EQ(s.exposureBlendLevels, 1);           // limited to levelCount - 1 (2 levels on 8x8)
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
    const RunSettings& s = gSettings;
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
    const RunSettings& s = gSettings;
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

    fresh();
    parse({"-d", "-nb", a});
    EXPECT_TRUE(gSettings.debugKeep);
    EXPECT_TRUE(gSettings.noise.duringBlend && gSettings.noise.atFinalize && gSettings.useYCrCb);

    fresh();
    parse({"-dt", "-nr", "5", "-nC", "-0.2", a});
    EXPECT_TRUE(gSettings.showTiming);
    EXPECT_FALSE(gSettings.debugKeep);
    EXPECT_EQ(gSettings.noise.radius, 5);
    EXPECT_FLOAT_EQ(gSettings.noise.chromaFactor, 0.2f);
    EXPECT_TRUE(gSettings.noise.atFinalize);
    EXPECT_FALSE(gSettings.useYCrCb);
}

TEST_F(CommandLineTest, LongOptionsMatchInTableOrder)
{
    std::string a = tiff("a.tif", 8, 8);
    parse({"--wExposure1", "0.25", "--wContrast1", "0.75", "--wMode2", "2", "--wMode1x", "0", "---cBrX", "1,5",
           "--gLevelsWeight", "0.3", "--wIterations", "1", "--cFh", "0.2", "--unknown", a});
    const RunSettings& s = gSettings;
    EXPECT_FLOAT_EQ(s.iteration1.exposureWeight, 0.25f);
    EXPECT_FLOAT_EQ(s.iteration1.contrastWeight, 0.75f);
    EXPECT_FLOAT_EQ(s.iteration2.exposureWeight, 1.0f);  // untouched by the numbered form
    EXPECT_EQ(s.iteration1.mode, 0);
    EXPECT_EQ(s.iteration2.mode, 2);
    EXPECT_FLOAT_EQ(s.curve.brightness, 1.5f);  // found inside the argument
    EXPECT_FLOAT_EQ(s.levelsAdjust.weight, 0.3f);
    EXPECT_FLOAT_EQ(s.levelsAdjust.whitePoint, 1.0f);  // -gLevelsWP not confused with -gLevelsWeight
    EXPECT_TRUE(s.levelsAdjust.enabled);
    EXPECT_EQ(s.iterationCount, 1);
    EXPECT_FLOAT_EQ(s.curve.floorHighlight, 0.2f);
    EXPECT_FLOAT_EQ(s.curve.floorShadow, 0.1f);
    EXPECT_EQ(listPaths(), std::vector<std::string>{a});  // unknown long option takes no value

    fresh();
    parse({"--wMode", "2", "--wExposure", "2", "--wContrast", "0", "--wSaturation", "0", a});
    EXPECT_EQ(gSettings.iteration1.mode, 2);
    EXPECT_EQ(gSettings.iteration2.mode, 2);
    EXPECT_FLOAT_EQ(gSettings.iteration1.exposureWeight, 1.0f);  // rescaled silently
    EXPECT_FLOAT_EQ(gSettings.iteration2.exposureWeight, 1.0f);
    EXPECT_FLOAT_EQ(gSettings.iteration1.contrastWeight, 0.0f);
}

TEST_F(CommandLineTest, CompressionKeywordsAreExactAndLaterOptionsWin)
{
    std::string a = tiff("a.tif", 8, 8);
    parse({"--compression", "DEFLATE", "--compression", "lzw", "--compression", "zip", a});
    EXPECT_EQ(gSettings.tiffCompression, 32946);
    fresh();
    parse({"--compression", "PACKBITS", "--compression", "NONE", "-l", "5", "-l", "+2", a});
    EXPECT_EQ(gSettings.tiffCompression, 1);
    EXPECT_EQ(gSettings.levelOffset, 2);
    fresh();
    std::string out = parse({"-l", "-1", "-l", "4", "--compression", "NONE", "--compression", "LZW ", a});
    EXPECT_EQ(gSettings.levelOffset, 0);
    EXPECT_EQ(gSettings.levelCount, 3);  // 4 asked, 8x8 allows 3
    EXPECT_EQ(out, "Cannot use 4 levels...using 3 levels instead\n");
    EXPECT_EQ(gSettings.tiffCompression, 1);
}

TEST_F(CommandLineTest, WeightsRescaledSilentlyButZeroSumLeftForValidation)
{
    std::string a = tiff("a.tif", 8, 8);
    std::string out = parse({"--wExposure2", "1", "--wContrast2", "1", "--wSaturation2", "1",
                             "--wExposure1", "0", "--wContrast1", "0", a});
    EXPECT_EQ(out, "");
    EXPECT_FLOAT_EQ(gSettings.iteration2.exposureWeight, 1.0f / 3.0f);
    EXPECT_FLOAT_EQ(gSettings.iteration2.saturationWeight, 1.0f / 3.0f);
    EXPECT_EQ(gSettings.iteration1.contrastWeight, 0.0f);  // nothing to divide by

    testing::internal::CaptureStdout();
    validateSettings();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Invalid weights (must sum to 1 for each iteration)...resetting\n");
    EXPECT_EQ(gSettings.iteration1.contrastWeight, 1.0f);
    EXPECT_EQ(gSettings.iteration1.exposureWeight, 0.0f);
}

// ---- auto-bracketing ----------------------------------------------------------

TEST_F(CommandLineTest, BracketingFormsOrderEntries)
{
    std::string a = tiff("a.tif", 4, 4);
    std::string b = tiff("b.tif", 4, 4);
    std::string c = tiff("c.tif", 4, 4);
    const std::string out = parse({"-b", "1", a, b, c});
    ASSERT_EQ(gImages.count(), 9);
    for (int i = 0; i < 3; ++i) {
        std::string input = std::vector<std::string>{a, b, c}[i];
        EXPECT_EQ(gImages.paths[3 * i], scratchName(input, "exp", -10));
        EXPECT_EQ(gImages.paths[3 * i + 1], input);
        EXPECT_EQ(gImages.paths[3 * i + 2], scratchName(input, "exp", 10));
        EXPECT_EQ(gImages.type[3 * i], TypeExposureAdjusted);
        EXPECT_EQ(gImages.type[3 * i + 1], TypeInput);
        EXPECT_EQ(gImages.scale[3 * i + 2], ScaleFull);
        EXPECT_TRUE(fileExists(gImages.paths[3 * i]));
        EXPECT_TRUE(fileExists(gImages.paths[3 * i + 2]));
    }
    EXPECT_NE(out.find("[1/3] Pre-Processing " + a + "\nAdjusting exposure by -1.00 stops\n"), std::string::npos);
    EXPECT_NE(out.find("[3/3] Pre-Processing " + c + "\nAdjusting exposure by 1.00 stops\n"), std::string::npos);

    fresh();
    parse({"-b", "+0,5", a, b});
    ASSERT_EQ(listPaths(), (std::vector<std::string>{a, scratchName(a, "exp", 5), b, scratchName(b, "exp", 5)}));
    EXPECT_NE(listPaths()[1].find("a05_exp_"), std::string::npos);

    fresh();
    parse({"-b", "-0.5", a, b});
    ASSERT_EQ(listPaths(), (std::vector<std::string>{scratchName(a, "exp", -5), a, scratchName(b, "exp", -5), b}));
    EXPECT_NE(listPaths()[0].find("a-05_exp_"), std::string::npos);

    // The automatic name follows the first and last entries of the list.
    EXPECT_EQ(gSettings.outputPath.rfind("a-05_exp_", 0), 0u);

    // A shift without end has no image to produce: that direction stays off.
    fresh();
    const std::string warned = parse({"-b", "inf", "-b", "+1", a});
    EXPECT_EQ(warned.rfind("Invalid auto-bracketing value inf...ignoring\n[1/1] Pre-Processing " + a +
                            "\nAdjusting exposure by 1.00 stops\n", 0),
              0u) << warned;
    EXPECT_EQ(listPaths(), (std::vector<std::string>{a, scratchName(a, "exp", 10)}));
}

TEST_F(CommandLineTest, BracketingInScaledRunMakesCacheCopies)
{
    std::string a = tiff("a.tif", 40, 20);
    parse({"--gScale", "0,5", "-b", "+1", a});
    ASSERT_EQ(gImages.count(), 2);
    EXPECT_EQ(gImages.paths[1], cacheName(a, 0.5f, 1.0f));
    EXPECT_EQ(gImages.type[1], TypePreviewCache);
    EXPECT_EQ(gImages.scale[1], ScaleScaled);
    EXPECT_EQ(gImages.type[0], TypeInput);
    EXPECT_EQ(gImages.scale[0], ScaleFull);
    EXPECT_TRUE(fileExists(gImages.paths[1]));
}

// ---- after the walk: canvas, scale, bits, name, levels --------------------------

TEST_F(CommandLineTest, CanvasIsBoundingBoxOfPlacedInputs)
{
    std::string a = tiff("a.tif", 10, 20, 3, 30, 40);
    std::string b = tiff("b.tif", 50, 5, 6, 25, 100);
    parse({a, b});
    EXPECT_EQ(gCanvas.x, 25);
    EXPECT_EQ(gCanvas.y, 40);
    EXPECT_EQ(gCanvas.width, 50);   // 25..74
    EXPECT_EQ(gCanvas.height, 65);  // 40..104
    EXPECT_EQ(gSettings.outputBits, 16);  // largest input depth
    EXPECT_FLOAT_EQ(gSettings.scaleFactor, 1.0f);
    EXPECT_FALSE(gSettings.scaled);
}

TEST_F(CommandLineTest, ConstraintScalesCanvasToEightBitJpeg)
{
    // Two single pixels spanning a 4000 x 2000 canvas.
    std::string a = tiff("a.tif", 1, 1, 6, 0, 0);
    std::string c = tiff("c.tif", 1, 1, 6, 3999, 1999);
    parse({"--gConstrain", "800x600", a, c});
    EXPECT_EQ(gSettings.scaleFactor, 0.2f);
    EXPECT_EQ(gCanvas.width, 800);
    EXPECT_EQ(gCanvas.height, 400);
    EXPECT_EQ(gSettings.outputBits, 8);
    EXPECT_TRUE(gSettings.scaled);
    EXPECT_EQ(gSettings.outputPath, "a-c_fused_l0_e100_c0_s0_br00_co00_sh00_hi00_fs01_fh01.jpg");
    EXPECT_EQ(gSettings.levelCount, 7);  // 400 -> 3 in 7 halvings

    struct Case {
        std::vector<std::string> options;
        float factor;
        const char* message;
    };
    const Case cases[] = {
        {{"--gConstrain", "8000x8000"}, 1.0f, ""},                      // never enlarged
        {{"--gScale", "0.5", "--gConstrain", "800x600"}, 0.2f, ""},     // the constraint wins
        {{"--gScale", "0,25"}, 0.25f, ""},
        {{"--gScale", "3"}, 1.0f, ""},
        {{"--gScale", "abc"}, 1.0f, "Invalid scale factor...resetting to 1\n"},
        {{"--gScale", "-0.5"}, 1.0f, "Invalid scale factor...resetting to 1\n"},
        {{"--gConstrain", "-800x600"}, 1.0f, "Invalid scale factor...resetting to 1\n"},
        {{"--gScale", "0.0001"}, 1.0f, "Invalid scale factor...resetting to 1\n"},  // empty canvas
        {{"--gConstrain", "800"}, 1.0f, ""},                            // no height: constraint off
    };
    for (const Case& k : cases) {
        fresh();
        std::vector<std::string> args = k.options;
        args.push_back(a);
        args.push_back(c);
        std::string out = parse(args);
        SCOPED_TRACE(k.options[1]);
        EXPECT_EQ(gSettings.scaleFactor, k.factor);
        EXPECT_TRUE(gSettings.scaled);
        EXPECT_EQ(gSettings.outputBits, 8);
        EXPECT_EQ(out, k.message);
    }
    EXPECT_EQ(gSettings.constrainWidth, 800);
    EXPECT_EQ(gSettings.constrainHeight, 0);
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
        fresh();
        SCOPED_TRACE(k.options[1]);
        std::vector<std::string> args = k.options;
        args.push_back(tiff("p0.tif", 1, 1, 3, k.x0, k.y0));
        args.push_back(tiff("p1.tif", 1, 1, 3, k.x1, k.y1));
        EXPECT_EQ(parse(args), "");
        EXPECT_EQ(gSettings.scaleFactor, k.factor);
        EXPECT_EQ(gCanvas.x, k.canvas.x);
        EXPECT_EQ(gCanvas.y, k.canvas.y);
        EXPECT_EQ(gCanvas.width, k.canvas.width);
        EXPECT_EQ(gCanvas.height, k.canvas.height);
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
        fresh();
        std::vector<std::string> args = k.options;
        args.push_back(a);
        std::string out = parse(args);
        SCOPED_TRACE(k.options.empty() ? "default" : k.options[1]);
        EXPECT_EQ(gSettings.levelCount, k.levels);
        EXPECT_EQ(out, k.message);
    }

    // Limits derived from the resolved count.
    fresh();
    parse({"-l", "3", "-u", "9", "-nv", "9", "-nw", "2", a});
    EXPECT_EQ(gSettings.exposureBlendLevels, 2);
    EXPECT_EQ(gSettings.noise.lumaLevels, 3);
    EXPECT_EQ(gSettings.noise.chromaLevels, 2);

    // A smaller side of 3 or less leaves exactly one level.
    gCanvas = ImageRegion{0, 0, 500, 3};
    gSettings.levelCount = 0;
    gSettings.levelOffset = 0;
    resolveLevels();
    EXPECT_EQ(gSettings.levelCount, 1);
}

TEST_F(CommandLineTest, AutomaticOutputName)
{
    std::string a = tiff("a.tif", 8, 8);
    std::string b = tiff("b.tif", 8, 8);
    std::string c = tiff("c.tif", 8, 8);
    std::string out = parse({"-v", a, b, c});
    EXPECT_EQ(gSettings.outputPath, "a-c_fused_l0_e100_c0_s0_br00_co00_sh00_hi00_fs01_fh01.tif");
    EXPECT_EQ(out, "Input file list:\n  " + a + ", exposure=0.00\n  " + b + ", exposure=0.00\n  " + c +
                       ", exposure=0.00\n\n\n");

    // Values at the time of naming: the unsigned -l value, rescaled weights,
    // curve values scaled by 10.00001 and truncated toward zero.
    fresh();
    gSettings.levelCount = 4;
    gSettings.iteration2 = IterationParams{1.0f / 3.0f, 1.0f / 3.0f, 1.0f / 3.0f, Average};
    gSettings.curve = CurveParams{-2.5f, 0.1f, -0.05f, 5.0f, 0.0f, 1.0f};
    makeOutputName("C:\\shots\\first.raw.tif", "/x/y/last");
    EXPECT_EQ(gSettings.outputPath, "first.raw-last_fused_l4_e33_c33_s33_br01_co-25_sh00_hi50_fs00_fh10.tif");
    gSettings.scaled = true;
    gSettings.curve.brightness = 1e30f;  // not yet validated: must not be undefined
    makeOutputName("a", "b");
    EXPECT_EQ(gSettings.outputPath, "a-b_fused_l4_e33_c33_s33_br-2147483648_co-25_sh00_hi50_fs00_fh10.jpg");

    fresh();
    parse({"-o", "given.tif", "-l", "+1", a});
    EXPECT_EQ(gSettings.outputPath, "given.tif");
}

TEST_F(CommandLineTest, AbsolutePathsAreInputsNotOptions)
{
    std::string a = tiff("a.tif", 8, 8);
    ASSERT_EQ(a[0], '/');
    parse({a, "/o", "named.tif"});
    EXPECT_EQ(listPaths(), std::vector<std::string>{a});
    EXPECT_EQ(gSettings.outputPath, "named.tif");
}

// ---- runs that end the process ----------------------------------------------

TEST_F(CommandLineTest, UsageVersionAndFatalEnds)
{
    ChildResult usage = parseInChild({"-p", "1", "--wExposure1", "0.5", "-h", "-V"});
    EXPECT_EQ(usage.exitCode, 0);
    EXPECT_EQ(usage.output.rfind(" Usage: \n\n    Quovix [options] input_file", 0), 0u);
    EXPECT_NE(usage.output.find("  -p n           Number of fusion iterations (1 or 2). Default=1\n"), std::string::npos);
    EXPECT_NE(usage.output.find("  --wMode1 n       Laplacian combination mode for iteration 1. Default=1\n"),
              std::string::npos);
    EXPECT_NE(usage.output.find("Weight for well-exposed pixels for iteration 1. Default=0.50\n"), std::string::npos);
    EXPECT_NE(usage.output.find("Default=0.33\n  -z n         Exposure weight creation mode: 0=Greyscale, 1=Color. "
                                "Default=0\n  -k n         Gamma: Used to compute relative exposures. Default=2.20\n"
                                "\n\n\n\n\n GUI Specific Options:\n"),
              std::string::npos);
    const std::string tail = " --info \"file\"  show information about raw file specified in file\n\n\n";
    ASSERT_GT(usage.output.size(), tail.size());
    EXPECT_EQ(usage.output.substr(usage.output.size() - tail.size()), tail);
    EXPECT_EQ(usage.output.find("Quovix 1.60"), std::string::npos);  // -V after -h is never read

    ChildResult noArgs = parseInChild({});
    EXPECT_EQ(noArgs.exitCode, 0);
    EXPECT_NE(noArgs.output.find("Default=2\n"), std::string::npos);

    ChildResult version = parseInChild({"-V", "-h"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.output.rfind("Quovix 1.60\n", 0), 0u);
    for (const char* credit : {"MIT License", "libtiff", "libjpeg-turbo", "dcraw"})
        EXPECT_NE(version.output.find(credit), std::string::npos) << credit;

    std::string a = tiff("a.tif", 8, 8);
    ChildResult missing = parseInChild({a, "-o"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.output, "Missing value for option -o\n");
    missing = parseInChild({a, "--cBr"});
    EXPECT_EQ(missing.output, "Missing value for option --cBr\n");
    EXPECT_EQ(parseInChild({a, "-nf"}).exitCode, kReturned);  // takes no value
    EXPECT_EQ(parseInChild({a, "-nq"}).exitCode, kReturned);  // nothing to skip

    ChildResult none = parseInChild({"-v", "-b", "1"});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_NE(none.output.find("Fatal Error: Not enough images specified for fusion\n"), std::string::npos);

    EXPECT_EQ(parseInChild({dir.file("missing.tif")}).exitCode, 1);

    // Tiny inputs far apart would need a canvas beyond any buffer.
    std::string far = tiff("far.tif", 1, 1, 3, 30000, 30000);
    ChildResult huge = parseInChild({a, far});
    EXPECT_EQ(huge.exitCode, 255);
    EXPECT_EQ(huge.output, "Canvas of 30001x30001 pixels out of range (inputs placed too far apart)\n");
}

// Random argument lists: every one must end with one of the specified exit
// codes (or return with a parsed run), never crash or hang.
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
#if defined(__SANITIZE_ADDRESS__)
    const int rounds = 40;  // every child's exit runs the leak check, which is slow
#else
    const int rounds = 200;
#endif
    for (int round = 0; round < rounds; ++round) {
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
        ChildResult r = parseInChild(args, true);
        std::string shown;
        for (const std::string& s : args)
            shown += "[" + s.substr(0, 24) + "] ";
        EXPECT_EQ(r.signal, 0) << shown;
        // Sanitizers end a child with code 1 too; their report tells it apart.
        EXPECT_EQ(r.errors.find("Sanitizer"), std::string::npos) << shown << r.errors;
        EXPECT_EQ(r.errors.find("runtime error"), std::string::npos) << shown << r.errors;
        EXPECT_TRUE(r.exitCode == 0 || r.exitCode == 1 || r.exitCode == 255 || r.exitCode == kReturned)
            << "exit " << r.exitCode << " for " << shown;
    }
}

} // namespace
