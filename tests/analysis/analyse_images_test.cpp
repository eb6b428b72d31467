#include "analysis/analyse_images.h"

#include "analysis/exposure_curve.h"
#include "image_fixture.h"
#include "imageio/image_reader.h"
#include "imageio/input_prepare.h"
#include "imageio/jpeg_io.h"
#include "imageio/png_io.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <vector>

namespace {

size_t countOf(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++count;
    return count;
}

class AnalyseTest : public testing::Test {
protected:
    void SetUp() override { buildCurveTables(settings, run.console, run.curves); }

    // Writes the inputs, makes the list and sets the canvas to their bounding box.
    void makeInputs(const std::vector<FixtureImage>& images)
    {
        createImageList(static_cast<int32_t>(images.size()), list_);
        int minX = 99999999, minY = 99999999, maxX = 0, maxY = 0;
        for (size_t k = 0; k < images.size(); ++k) {
            std::string path = env_.dir().file("in" + std::to_string(k) + ".tif");
            ASSERT_TRUE(writeFixtureTiff(path, images[k]));
            ASSERT_TRUE(appendImage(list_, path, TypeInput, ScaleFull).ok());
            minX = std::min(minX, images[k].x);
            minY = std::min(minY, images[k].y);
            maxX = std::max(maxX, images[k].x + images[k].width - 1);
            maxY = std::max(maxY, images[k].y + images[k].height - 1);
        }
        run.canvas = ImageRegion{minX, minY, maxX - minX + 1, maxY - minY + 1};
    }

    std::string analyse(int levels)
    {
        Status status;
        std::string out = captureOutput([&] { status = analyseImages(run, list_, levels); });
        EXPECT_TRUE(status.ok()) << status.consoleText();
        return out;
    }

    std::set<std::string> filesInRunFolder()
    {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(run.scratch.runFolder()))
            names.insert(entry.path().string());
        return names;
    }

    std::string scratchName(const std::string& source, const char* tag, int level)
    {
        EXPECT_TRUE(run.scratch.ensureRunFolder().ok());
        return run.scratch.scratchName(source, tag, level);
    }

    // The file table: "l" always, "e" when an iteration weighs exposure or the
    // level is among the -u coarsest, "s" when either iteration uses it, "c"
    // when either iteration uses it and scratch files are kept or traced (the
    // combination otherwise computes it from "l"), "g" under -d.
    std::set<std::string> expectedFiles(int levels)
    {
        const RunSettings& s = settings;
        std::set<std::string> names;
        for (int i = 0; i < list_.count(); ++i) {
            for (int l = 0; l < levels; ++l) {
                names.insert(scratchName(list_[i].path, "l", l));
                if (s.iteration1.exposureWeight != 0 || s.iteration2.exposureWeight != 0 ||
                    l >= levels - run.depths.exposureBlendLevels)
                    names.insert(scratchName(list_[i].path, "e", l));
                if (s.iteration1.saturationWeight != 0 || s.iteration2.saturationWeight != 0)
                    names.insert(scratchName(list_[i].path, "s", l));
                if ((s.iteration1.contrastWeight != 0 || s.iteration2.contrastWeight != 0) &&
                    (s.debugKeep || s.keepGroupResults || s.traceResources))
                    names.insert(scratchName(list_[i].path, "c", l));
                if (s.debugKeep)
                    names.insert(scratchName(list_[i].path, "g", l));
            }
        }
        return names;
    }

    FixtureImage level(int image, const char* tag, int l)
    {
        return readFixtureTiff(scratchName(list_[image].path, tag, l));
    }

    ScratchEnvironment env_;
    FusionRun& run = env_.run();
    RunSettings& settings = run.settings;
    ImageList list_;
};

FixtureImage constant(int width, int height, int samples, int bits, int x, int y, std::vector<uint16_t> value)
{
    FixtureImage image = makeFixture(width, height, samples, bits, x, y);
    for (size_t k = 0; k < image.data.size(); ++k)
        image.data[k] = value[k % samples];
    return image;
}

FixtureImage ramp(int width, int height, int samples, int bits, int x, int y)
{
    FixtureImage image = makeFixture(width, height, samples, bits, x, y);
    const int range = bits == 8 ? 256 : 65536;
    for (int r = 0; r < height; ++r)
        for (int c = 0; c < width; ++c)
            for (int s = 0; s < samples; ++s)
                image.at(r, c, s) = static_cast<uint16_t>((r * 37 + c * 91 + s * 53) * (range / 256) % range);
    if (samples == 4)
        for (int r = 0; r < height; ++r)
            for (int c = 0; c < width; ++c)
                image.at(r, c, 3) = static_cast<uint16_t>(c < width / 3 ? 0 : range - 1);
    return image;
}

std::vector<FixtureImage> mixedInputs()
{
    return {ramp(61, 40, 3, 8, 0, 0), ramp(50, 30, 1, 16, 12, 9), ramp(45, 44, 4, 8, 20, 3),
            ramp(33, 21, 3, 16, 5, 30), ramp(40, 25, 1, 8, 30, 20), ramp(31, 28, 4, 16, 3, 2)};
}

} // namespace

TEST(AnalysisLevel, FirstLevelWithASideOfFiftyOrLess)
{
    EXPECT_EQ(analysisLevel(4000, 3000, 8), 6);  // ... 125x94, 63x47
    EXPECT_EQ(analysisLevel(60, 40, 5), 0);
    EXPECT_EQ(analysisLevel(100, 4000, 6), 1);   // 50 on the second level
    EXPECT_EQ(analysisLevel(101, 4000, 6), 2);   // 51, then 26
    EXPECT_EQ(analysisLevel(4000, 3000, 4), 3);  // never small enough: the coarsest level
    EXPECT_EQ(analysisLevel(4000, 3000, 1), 0);
    EXPECT_EQ(analysisLevel(-5, 4000, 3), 2);    // compared unsigned: a negative side is huge
}

TEST(WidenToWork, EveryLayoutInPlace)
{
    struct Case {
        int layout;
        std::vector<uint16_t> stored;  // two pixels, one element per stored sample
        std::vector<int> widened;      // two WorkPixels
    };
    const Case cases[] = {
        {1, {255, 3}, {16320, 16320, 16320, 16384, 192, 192, 192, 16384}},
        {2, {65535, 7}, {16383, 16383, 16383, 16384, 1, 1, 1, 16384}},
        {3, {1, 2, 255, 10, 20, 30}, {64, 128, 16320, 16384, 640, 1280, 1920, 16384}},
        {4, {1, 2, 3, 0, 4, 5, 6, 1}, {64, 128, 192, 0, 256, 320, 384, 16384}},
        {6, {65535, 4, 40000, 8, 12, 16}, {16383, 1, 10000, 16384, 2, 3, 4, 16384}},
        {8, {65535, 0, 4, 12345, 400, 800, 1200, 0}, {16383, 0, 1, 12345, 100, 200, 300, 0}},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> buffer(16, 0xEE);
        const bool wide = c.layout == 2 || c.layout >= 6;
        for (size_t k = 0; k < c.stored.size(); ++k) {
            if (wide)
                std::memcpy(&buffer[k * 2], &c.stored[k], 2);
            else
                buffer[k] = static_cast<uint8_t>(c.stored[k]);
        }
        ASSERT_TRUE(widenToWork(buffer.data(), 2, c.layout).ok()) << "layout " << c.layout;
        int16_t work[8];
        std::memcpy(work, buffer.data(), 16);
        EXPECT_EQ(std::vector<int>(work, work + 8), c.widened) << "layout " << c.layout;
    }
}

TEST(WidenToWork, UnknownLayoutIsFatalAndLeavesTheBuffer)
{
    std::vector<uint8_t> buffer(80);
    for (size_t k = 0; k < buffer.size(); ++k)
        buffer[k] = static_cast<uint8_t>(k * 7);
    const std::vector<uint8_t> before = buffer;
    Status status = widenToWork(buffer.data(), 2, 5);
    EXPECT_EQ(status.exitCode(), kExitFatal);
    EXPECT_EQ(status.consoleText(),
              "Unsupported bit depth conversion request: in=5, out=8\nFatal Error: Unsupported image type\n\n");
    EXPECT_EQ(buffer, before);
}

// The pool's version widens in rounds whose pixels land beyond every stored
// byte still to be read: any overlap of a round with what it reads would show
// as pixels that differ from the one-thread walk.
TEST(WidenToWork, ThePoolWidensEveryLayoutAsOneThreadDoes)
{
    const int64_t count = 200003;  // several rounds, an odd tail
    Console console;
    for (const int layout : {1, 2, 3, 4, 6, 8}) {
        std::vector<uint8_t> stored(static_cast<size_t>(count) * 8);
        uint32_t x = 12345u + static_cast<uint32_t>(layout);
        for (int64_t k = 0; k < count * layout; ++k) {
            x = x * 1664525u + 1013904223u;
            stored[static_cast<size_t>(k)] = static_cast<uint8_t>(x >> 24);
        }
        std::vector<uint8_t> alone = stored;
        ASSERT_TRUE(widenToWork(alone.data(), count, layout).ok());
        for (const int workers : {1, 2, 3}) {
            WorkerPool pool(console, workers);
            std::vector<uint8_t> spread = stored;
            ASSERT_TRUE(widenToWork(pool, spread.data(), count, layout).ok());
            EXPECT_TRUE(spread == alone) << "layout " << layout << ", " << workers << " workers";
        }
    }
    WorkerPool pool(console, 2);
    std::vector<uint8_t> buffer(64, 7);
    EXPECT_EQ(widenToWork(pool, buffer.data(), 4, 5).exitCode(), kExitFatal);
    EXPECT_EQ(buffer, std::vector<uint8_t>(64, 7));
}

TEST_F(AnalyseTest, DefaultWeightsWriteLaplacianContrastAndExposureFiles)
{
    makeInputs(mixedInputs());
    analyse(4);
    EXPECT_EQ(filesInRunFolder(), expectedFiles(4));
    EXPECT_FALSE(fileExists(scratchName(list_[0].path, "s", 0)));
    EXPECT_FALSE(fileExists(scratchName(list_[0].path, "c", 0))) << "made from the level file when needed";

    // Kept scratch files include the contrast maps.
    run.scratch.finish(false);
    settings.keepGroupResults = true;
    analyse(4);
    EXPECT_EQ(filesInRunFolder(), expectedFiles(4));

    // Every level file describes the whole canvas at its level.
    ASSERT_EQ(run.canvas.width, 70);
    ASSERT_EQ(run.canvas.height, 51);
    const int widths[4] = {70, 35, 18, 9};
    const int heights[4] = {51, 26, 13, 7};
    for (int l = 0; l < 4; ++l) {
        FixtureImage lap = level(3, "l", l);
        EXPECT_EQ(lap.width, widths[l]);
        EXPECT_EQ(lap.height, heights[l]);
        EXPECT_EQ(lap.samples * lap.bits, 64);
        FixtureImage weights = level(3, "c", l);
        EXPECT_EQ(weights.samples * weights.bits, 16);
        EXPECT_EQ(weights.width, widths[l]);
    }
}

TEST_F(AnalyseTest, WeightSettingsAndDebugChooseTheFiles)
{
    makeInputs(mixedInputs());
    // --wExposure 0 -u 2, saturation in iteration 2: "e" only on the two coarsest levels.
    settings.iteration1 = IterationParams{0.0f, 1.0f, 0.0f, CombineMode::Maximum};
    settings.iteration2 = IterationParams{0.0f, 0.5f, 0.5f, CombineMode::Average};
    run.depths.exposureBlendLevels = 2;
    analyse(5);
    EXPECT_EQ(filesInRunFolder(), expectedFiles(5));
    EXPECT_FALSE(fileExists(scratchName(list_[2].path, "e", 2)));
    EXPECT_TRUE(fileExists(scratchName(list_[2].path, "e", 3)));

    // No contrast weight: no "c" files; -d adds the 8-bit Gaussian levels.
    run.scratch.finish(false);
    settings.iteration1 = IterationParams{1.0f, 0.0f, 0.0f, CombineMode::Average};
    settings.iteration2 = IterationParams{1.0f, 0.0f, 0.0f, CombineMode::Average};
    run.depths.exposureBlendLevels = 0;
    settings.debugKeep = true;
    analyse(3);
    EXPECT_EQ(filesInRunFolder(), expectedFiles(3));
    FixtureImage g1 = level(0, "g", 1);
    ASSERT_EQ(g1.width, 35);
    EXPECT_EQ(g1.samples * g1.bits, 32);
}

TEST_F(AnalyseTest, ConstantImageHasZeroDetailAndItsValueAtTheResidual)
{
    makeInputs({constant(37, 23, 3, 8, 4, 6, {100, 150, 200})});
    settings.iteration2.saturationWeight = 0.5f;
    settings.keepGroupResults = true;  // contrast files are written only when kept
    std::string out = analyse(4);
    EXPECT_EQ(out, "[1/1] Analyzing " + std::string(list_[0].path) + "....\n");

    const int widths[4] = {37, 19, 10, 5};
    const int heights[4] = {23, 12, 6, 3};
    // Luma index of (6400, 9600, 12800): (192000 + 566400 + 140800) / 100.
    const int luma = 8992;
    for (int l = 0; l < 4; ++l) {
        FixtureImage lap = level(0, "l", l);
        FixtureImage contrast = level(0, "c", l);
        FixtureImage exposure = level(0, "e", l);
        FixtureImage saturation = level(0, "s", l);
        ASSERT_EQ(lap.width, widths[l]);
        ASSERT_EQ(lap.height, heights[l]);
        EXPECT_EQ(lap.x, 4);
        EXPECT_EQ(lap.y, 6);
        const bool residual = l == 3;
        for (int p = 0; p < widths[l] * heights[l]; ++p) {
            const int r = p / widths[l], c = p % widths[l];
            ASSERT_EQ(lap.at(r, c, 0), residual ? 6400 + 8192 : 8192) << "level " << l;
            ASSERT_EQ(lap.at(r, c, 1), residual ? 9600 + 8192 : 8192);
            ASSERT_EQ(lap.at(r, c, 2), residual ? 12800 + 8192 : 8192);
            ASSERT_EQ(lap.at(r, c, 3), 16384);
            ASSERT_EQ(contrast.at(r, c, 0), residual ? 4 * luma : 0);
            ASSERT_EQ(exposure.at(r, c, 0), run.curves.weightCurve[luma]);
            // (12800 - 6400) * 65535 / (12800 + 6400)
            ASSERT_EQ(saturation.at(r, c, 0), 21845);
        }
    }
    // 37 x 23 is already at most 50 on its short side: measured on level 0.
    EXPECT_EQ(list_[0].exposure, static_cast<double>(run.curves.linearTable[luma]));
}

TEST_F(AnalyseTest, SingleLevelHoldsTheWidenedImage)
{
    makeInputs({constant(8, 6, 3, 16, 0, 0, {65535, 0, 4}), constant(8, 6, 1, 8, 0, 0, {255}),
                constant(8, 6, 4, 16, 0, 0, {400, 800, 1200, 12345})});
    settings.verbosity = 1;
    std::string out = analyse(1);
    EXPECT_EQ(level(0, "l", 0).data[0], 16383 + 8192);
    EXPECT_EQ(level(0, "l", 0).data[1], 8192);
    EXPECT_EQ(level(0, "l", 0).data[2], 1 + 8192);
    EXPECT_EQ(level(1, "l", 0).data, (constant(8, 6, 4, 16, 0, 0, {24512, 24512, 24512, 16384}).data));
    EXPECT_EQ(level(2, "l", 0).data, (constant(8, 6, 4, 16, 0, 0, {8292, 8392, 8492, 12345}).data));

    char line[64];
    std::snprintf(line, sizeof line, ".(exposure=%.2f)\n", list_[1].exposure * 0.015625);
    EXPECT_NE(out.find("[2/3] Analyzing " + std::string(list_[1].path) + line), std::string::npos) << out;
    EXPECT_EQ(list_[1].exposure, static_cast<double>(run.curves.linearTable[16320]));
}

TEST_F(AnalyseTest, TransparentAndUncoveredCanvasPixels)
{
    // RGBA with its left third transparent, on a larger canvas set by an RGB
    // input that leaves a corner uncovered.
    FixtureImage rgba = ramp(45, 40, 4, 8, 21, 0);
    FixtureImage rgb = constant(30, 20, 3, 8, 0, 0, {50, 60, 70});
    makeInputs({rgba, rgb});
    ASSERT_EQ(run.canvas.width, 66);
    ASSERT_EQ(run.canvas.height, 40);
    analyse(3);

    // Image 0: canvas columns 0..20 lie outside it (absent, its canvas is
    // zero-filled RGBA), 21..35 transparent, the rest present.
    FixtureImage lap0 = level(0, "l", 0);
    EXPECT_EQ(lap0.at(20, 5, 3), 0);
    EXPECT_EQ(lap0.at(20, 28, 3), 0);
    EXPECT_EQ(lap0.at(20, 50, 3), 16384);
    FixtureImage lap1 = level(0, "l", 1);
    EXPECT_EQ(lap1.at(10, 14, 3), 0);   // canvas (20, 28), surrounded by transparency
    EXPECT_EQ(lap1.at(10, 25, 3), 16384);
    FixtureImage residual = level(0, "l", 2);
    EXPECT_EQ(residual.at(5, 7, 3), 0);

    // Image 1: RGB, uncovered canvas pixels are present black; far from the
    // image the detail is zero.
    FixtureImage lap = level(1, "l", 0);
    EXPECT_EQ(lap.at(35, 55, 3), 16384);
    EXPECT_EQ(lap.at(35, 55, 0), 8192);
    FixtureImage top = level(1, "l", 2);
    EXPECT_EQ(top.at(9, 16, 3), 16384);
    EXPECT_EQ(top.at(9, 16, 0), 8192);
    EXPECT_EQ(top.at(0, 0, 0), 50 * 64 + 8192);
}

TEST_F(AnalyseTest, ThreePageBuffersPerImageAllReleased)
{
    makeInputs({ramp(64, 48, 3, 8, 0, 0), ramp(64, 48, 4, 16, 0, 0)});
    settings.showTiming = true;
    run.console.setTracing(true);
    std::string out = analyse(4);
    EXPECT_EQ(countOf(out, "|vAlloc|"), 6u);
    EXPECT_EQ(countOf(out, "|vFree|"), 6u);
    EXPECT_EQ(countOf(out, "|alloc|"), countOf(out, "|free|"));
    EXPECT_EQ(countOf(out, "|open("), countOf(out, "|close|"));
    EXPECT_EQ(countOf(out, "Read image:  Elapsed time="), 2u);
    EXPECT_EQ(countOf(out, "reduce:  Elapsed time="), 6u);
    EXPECT_EQ(countOf(out, "expand:  Elapsed time="), 6u);
    EXPECT_EQ(countOf(out, "write laplacian:  Elapsed time="), 8u);
    EXPECT_EQ(countOf(out, "create/write weights:  Elapsed time="), 8u);
}

// Inputs are classified once, before the analysis: an input whose record is
// known is opened for reading once, to read its pixels.
TEST_F(AnalyseTest, ClassifiedInputIsOpenedOnce)
{
    makeInputs({ramp(30, 20, 3, 8, 0, 0), ramp(30, 20, 4, 16, 0, 0)});
    for (int i = 0; i < list_.count(); ++i)
        ASSERT_TRUE(queryImageInfo(run, list_[i].path, list_[i].info).ok());
    run.console.setTracing(true);
    const std::string out = analyse(2);
    run.console.setTracing(false);
    for (int i = 0; i < list_.count(); ++i)
        EXPECT_EQ(countOf(out, "File|" + std::string(list_[i].path) + "|open(r)|"), 1u) << out;
}

TEST_F(AnalyseTest, ScaledRunReadsThroughThePreviewCache)
{
    makeInputs({ramp(40, 30, 3, 8, 0, 0)});
    settings.scaled = true;
    settings.scaleFactor = 0.5f;
    scaleRegion(run.canvas, 0.5f);
    std::string out = analyse(2);
    EXPECT_EQ(out.find("[1/1] Analyzing " + std::string(list_[0].path) + ">.."), 0u) << out;
    EXPECT_EQ(level(0, "l", 0).width, 20);
    out = analyse(2);
    EXPECT_NE(out.find("<.."), std::string::npos) << out;

    // A copy already made at the preview scale is read as it is. It stands in
    // for a new entry, so it is classified afresh.
    list_[0].scale = ScaleScaled;
    list_[0].info = ImageInfo();
    ASSERT_TRUE(writeFixtureTiff(list_[0].path, ramp(20, 15, 3, 8, 0, 0)));
    out = analyse(2);
    EXPECT_EQ(out.find("[1/1] Analyzing " + std::string(list_[0].path) + ".."), 0u) << out;
}

// An input the reader refuses ends the analysis before anything of it is
// written; the images before it are analysed.
TEST_F(AnalyseTest, UnreadableInputEndsTheAnalysis)
{
    makeInputs({ramp(20, 16, 3, 8, 0, 0), constant(20, 16, 2, 8, 0, 0, {90, 255})});
    Status status;
    const std::string out = captureOutput([&] { status = analyseImages(run, list_, 2); });
    EXPECT_EQ(status.exitCode(), kExitIoError);
    EXPECT_EQ(status.consoleText(), "Unsupported image file " + std::string(list_[1].path) +
                                        ": 2 samples per pixel (1, 3 or 4 supported)\n");
    EXPECT_EQ(out, "[1/2] Analyzing " + std::string(list_[0].path) + "..\n");
    EXPECT_TRUE(fileExists(scratchName(list_[0].path, "l", 1)));
    EXPECT_FALSE(fileExists(scratchName(list_[1].path, "l", 0)));
}

TEST_F(AnalyseTest, YccProcessingAddsADotAndStoresLumaInTheMiddle)
{
    makeInputs({constant(20, 20, 3, 8, 0, 0, {100, 100, 100})});
    settings.useYCrCb = true;
    std::string out = analyse(2);
    EXPECT_EQ(out.substr(out.size() - 4), "...\n") << out;
    FixtureImage residual = level(0, "l", 1);
    EXPECT_NEAR(residual.at(3, 3, 1), 6400 + 8192, 1);
    EXPECT_NEAR(residual.at(3, 3, 0), 8192 + 8192, 1);
    EXPECT_NEAR(residual.at(3, 3, 2), 8192 + 8192, 1);
}

// Classified inputs are read one ahead of their turn, on a thread of their
// own; unclassified ones in their turn. Both give the same scratch files,
// for TIFFs placed at an offset and a JPEG and a PNG smaller than the canvas.
TEST_F(AnalyseTest, InputsReadAheadGiveTheSameScratchFiles)
{
    makeInputs({ramp(40, 30, 3, 16, 6, 4), ramp(48, 36, 4, 8, 0, 0), ramp(30, 20, 1, 16, 10, 12)});
    const std::string jpeg = env_.dir().file("in3.jpg");
    {
        const FixtureImage picture = ramp(44, 28, 3, 8, 0, 0);
        const std::vector<uint8_t> rgb = fixtureBytes(picture);
        FILE* file = std::fopen(jpeg.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        const bool encoded = encodeJpeg(run.console, file, rgb.data(), picture.width, picture.height, 90);
        std::fclose(file);
        ASSERT_TRUE(encoded);
    }
    const std::string png = env_.dir().file("in4.png");
    {
        const FixtureImage picture = ramp(36, 30, 3, 16, 0, 0);
        PngLayout layout;
        layout.width = picture.width;
        layout.height = picture.height;
        layout.bits = 16;
        ASSERT_TRUE(writePng(png, fixtureBytes(picture).data(), layout).ok());
    }
    ImageList tiffs = std::move(list_);
    createImageList(tiffs.count() + 2, list_);
    for (int i = 0; i < tiffs.count(); ++i)
        ASSERT_TRUE(appendImage(list_, tiffs[i].path, TypeInput, ScaleFull).ok());
    ASSERT_TRUE(appendImage(list_, jpeg, TypeInput, ScaleFull).ok());
    ASSERT_TRUE(appendImage(list_, png, TypeInput, ScaleFull).ok());
    auto scratchBytes = [&] {
        std::map<std::string, std::string> files;
        for (const std::string& name : filesInRunFolder())
            files[name] = readFile(name);
        return files;
    };
    analyse(3);
    const std::map<std::string, std::string> inTurn = scratchBytes();
    ASSERT_EQ(inTurn.size(), expectedFiles(3).size());
    removeLevelScratch(run, list_, 3);
    for (int i = 0; i < list_.count(); ++i)
        ASSERT_TRUE(queryImageInfo(run, list_[i].path, list_[i].info).ok());
    const std::string out = analyse(3);
    EXPECT_EQ(countOf(out, "Analyzing"), 5u) << out;
    EXPECT_TRUE(scratchBytes() == inTurn);
}

// An input replaced after its classification fails the read ahead without a
// word; it is then read in its turn and refused there, as without reading
// ahead: the inputs before it analysed, one message.
TEST_F(AnalyseTest, InputChangedBeforeItsTurnIsRefusedInItsTurn)
{
    makeInputs({ramp(20, 16, 3, 8, 0, 0), ramp(20, 16, 3, 8, 0, 0), ramp(20, 16, 3, 8, 0, 0)});
    for (int i = 0; i < list_.count(); ++i)
        ASSERT_TRUE(queryImageInfo(run, list_[i].path, list_[i].info).ok());
    ASSERT_TRUE(writeFixtureTiff(list_[2].path, ramp(18, 16, 3, 8, 0, 0)));
    Status status;
    const std::string out = captureOutput([&] { status = analyseImages(run, list_, 2); });
    EXPECT_EQ(status.exitCode(), kExitIoError);
    EXPECT_EQ(status.consoleText(), "Image file " + std::string(list_[2].path) + " has changed since it was opened\n");
    EXPECT_EQ(out, "[1/3] Analyzing " + std::string(list_[0].path) + "..\n[2/3] Analyzing " +
                       std::string(list_[1].path) + "..\n[3/3] Analyzing " + std::string(list_[2].path));
    EXPECT_TRUE(fileExists(scratchName(list_[1].path, "l", 1)));
    EXPECT_FALSE(fileExists(scratchName(list_[2].path, "l", 0)));
}
