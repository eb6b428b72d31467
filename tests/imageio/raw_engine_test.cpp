// Camera RAW decoding by either engine: the dcraw-style options, 16-bit
// conversions, LibRaw on generated DNGs and on the bundled Canon file, and
// the fallback from a missing or failing dcraw.
#include "imageio/raw_engine.h"

#include "dng_writer.h"
#include "image_samples.h"
#include "imageio/image_reader.h"
#include "imageio/input_prepare.h"
#include "imageio/raw_options.h"
#include "test_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <tiffio.h>

#include <cmath>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using samples::failedWith;

// ---- the converter arguments ------------------------------------------------

TEST(RawOptionsTest, OutputBitsFollowTheSixteenBitOptionsNotOptionValues)
{
    struct Case { const char* args; int bits; };
    const Case cases[] = {
        {"", 8}, {"-H 2 -w", 8}, {"-6 -w -H 2", 16}, {"-w -4", 16}, {"-b 4 -w", 8},
        {"-g 2.4 12.9 -6", 16}, {"-n -4 -w", 8}, {"-r 1 -6 1 1 -w", 8}, {"\t-6\t", 16},
    };
    for (const Case& c : cases)
        EXPECT_EQ(rawOutputBits(c.args), c.bits) << "\"" << c.args << "\"";
}

TEST(RawOptionsTest, LibRawFollowsTheDcrawOptionsInOrder)
{
    LibRawOptions defaults;
    ASSERT_TRUE(parseLibRawOptions("", defaults).ok());
    EXPECT_TRUE(defaults.cameraWhiteBalance);
    EXPECT_EQ(defaults.highlightMode, 2);
    EXPECT_EQ(defaults.outputBits, 8);
    EXPECT_FALSE(defaults.noAutoBrightness);

    LibRawOptions o;
    ASSERT_TRUE(parseLibRawOptions("-a -H 5 -b 2.5 -W -q 1 -n 100 -g 2.4 12.9", o).ok());
    EXPECT_FALSE(o.cameraWhiteBalance);
    EXPECT_TRUE(o.autoWhiteBalance);
    EXPECT_EQ(o.highlightMode, 5);
    EXPECT_TRUE(o.noAutoBrightness);
    EXPECT_EQ(o.quality, 1);
    EXPECT_FLOAT_EQ(o.noiseThreshold, 100.0f);
    EXPECT_DOUBLE_EQ(o.gammaPower, 1.0 / 2.4);
    EXPECT_DOUBLE_EQ(o.gammaSlope, 12.9);
    EXPECT_EQ(o.outputBits, 8);

    // -4 is linear 16-bit without auto brightness; a later -g sets the curve.
    LibRawOptions linear;
    ASSERT_TRUE(parseLibRawOptions("-4 -w", linear).ok());
    EXPECT_EQ(linear.outputBits, 16);
    EXPECT_DOUBLE_EQ(linear.gammaPower, 1.0);
    EXPECT_DOUBLE_EQ(linear.gammaSlope, 1.0);
    EXPECT_TRUE(linear.noAutoBrightness);
    LibRawOptions curved;
    ASSERT_TRUE(parseLibRawOptions("-4 -g 2 0", curved).ok());
    EXPECT_DOUBLE_EQ(curved.gammaPower, 0.5);
    EXPECT_DOUBLE_EQ(curved.gammaSlope, 0.0);
    LibRawOptions gamma16;
    ASSERT_TRUE(parseLibRawOptions("-6", gamma16).ok());
    EXPECT_EQ(gamma16.outputBits, 16);
    EXPECT_FALSE(gamma16.noAutoBrightness);
    EXPECT_NEAR(gamma16.gammaPower, 0.45, 0.001);
}

TEST(RawOptionsTest, LibRawRefusesOtherOptionsAndBadValuesNamingThem)
{
    struct Case { const char* args; const char* named; };
    const Case cases[] = {
        {"-h", "-h"}, {"-w -o 1", "-o"}, {"-T", "-T"}, {"-H 10", "-H 10"}, {"-H", "-H"}, {"-q x", "-q x"},
        {"-q 4", "-q 4"}, {"-g 2", "-g"}, {"-b 0", "-b 0"}, {"-n -1", "-n -1"}, {"-H 2.5", "-H 2.5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        LibRawOptions o;
        const Status status = parseLibRawOptions(c.args, o);
        ASSERT_FALSE(status.ok());
        EXPECT_EQ(status.exitCode(), kExitFatal);
        const std::string text = status.consoleText();
        EXPECT_NE(text.find(std::string("RAW option ") + c.named), std::string::npos) << text;
        EXPECT_NE(text.find("-w -a -H n -b f -4 -6 -W -g p s -q n -n t"), std::string::npos) << text;
    }
}

// ---- decoding ---------------------------------------------------------------

struct Decoded {
    Status status;
    std::string output;  // what was printed
    ImageInfo info;
    std::vector<uint8_t> pixels;
    std::vector<unsigned char> profile;

    size_t count() const { return size_t(info.region.width) * size_t(info.region.height); }
    // Sample k (pixel * 3 + channel) on the 16-bit scale.
    uint32_t sample(size_t k) const
    {
        if (info.bitsPerSample == 8)
            return pixels[k] * 257u;
        uint16_t v;
        std::memcpy(&v, pixels.data() + 2 * k, 2);
        return v;
    }
};

// Classifies and converts a RAW file as a run with these settings would,
// capturing the run's colour profile when it is the first input. The run's
// messages are collected, so conversions may run side by side.
Decoded decode(RawEngine engine, const std::string& args, const std::string& path, int stops = 0,
               const std::string& converter = "dcraw")
{
    Decoded d;
    Options options;
    options.workerCount = 1;
    options.onMessage = [&d](MessageKind, std::string_view text) { d.output += text; };
    TestRun testRun(options);
    FusionRun& run = *testRun;
    run.settings.rawEngine = engine;
    run.settings.converterArgs = args;
    run.settings.converterPath = converter;
    run.metadataSource = path;
    run.profileFromConversion = true;
    d.status = queryImageInfo(run, path, d.info);
    if (d.status.ok()) {
        d.pixels.assign(size_t(d.info.region.width) * d.info.region.height * d.info.bytesPerPixel, 0);
        d.status = prepareInput(run, path, d.info, d.pixels.data(), nullptr, stops, 1.0f, false);
    }
    d.profile = run.outputProfile;
    return d;
}

double channelMean(const Decoded& d, int channel)
{
    double sum = 0;
    for (size_t i = 0; i < d.count(); ++i)
        sum += d.sample(i * 3 + size_t(channel));
    return sum / double(d.count()) / 257.0;
}

size_t distinctLevels(const Decoded& d, int channel)
{
    std::vector<bool> seen(65536, false);
    size_t levels = 0;
    for (size_t i = 0; i < d.count(); ++i) {
        const uint32_t v = d.sample(i * 3 + size_t(channel));
        levels += seen[v] ? 0 : 1;
        seen[v] = true;
    }
    return levels;
}

// Pixels with a channel at full scale.
size_t clippedPixels(const Decoded& d)
{
    size_t clipped = 0;
    for (size_t i = 0; i < d.count(); ++i)
        if (d.sample(i * 3) >= 65535 || d.sample(i * 3 + 1) >= 65535 || d.sample(i * 3 + 2) >= 65535)
            ++clipped;
    return clipped;
}

// Pearson correlation of the two images' green channels: structure in the
// same place and orientation.
double correlation(const Decoded& a, const Decoded& b)
{
    double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
    const size_t n = a.count();
    for (size_t i = 0; i < n; ++i) {
        const double x = a.sample(i * 3 + 1), y = b.sample(i * 3 + 1);
        sa += x;
        sb += y;
        saa += x * x;
        sbb += y * y;
        sab += x * y;
    }
    const double cov = sab - sa * sb / double(n);
    return cov / std::sqrt((saa - sa * sa / double(n)) * (sbb - sb * sb / double(n)));
}

bool isIccProfile(const std::vector<unsigned char>& profile)
{
    return profile.size() >= 128 && std::string(profile.begin() + 36, profile.begin() + 40) == "acsp";
}

class LibRawDngTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dng = dir.file("shot.dng");
        ASSERT_TRUE(writeTestDng(dng));
    }
    TempDir dir;
    std::string dng;
};

TEST_F(LibRawDngTest, GeneratedDngDecodesAtEightAndSixteenBits)
{
    const Decoded eight = decode(RawEngine::LibRaw, "", dng);
    ASSERT_TRUE(eight.status.ok()) << eight.status.consoleText() << eight.output;
    EXPECT_EQ(eight.info.format, FileFormat::Raw);
    EXPECT_EQ(eight.info.region.width, 64);
    EXPECT_EQ(eight.info.region.height, 48);
    EXPECT_EQ(eight.info.bitsPerSample, 8);
    EXPECT_EQ(eight.info.bytesPerPixel, 3);
    EXPECT_TRUE(isIccProfile(eight.profile)) << "the output colour space's profile";
    EXPECT_EQ(eight.output, "\nConverting RAW file...\n");

    const Decoded sixteen = decode(RawEngine::LibRaw, "-6 -w -H 2", dng);
    ASSERT_TRUE(sixteen.status.ok()) << sixteen.status.consoleText();
    EXPECT_EQ(sixteen.info.bitsPerSample, 16);
    EXPECT_EQ(sixteen.info.bytesPerPixel, 6);
    EXPECT_GT(distinctLevels(sixteen, 1), distinctLevels(eight, 1));
    for (int c = 0; c < 3; ++c) {
        EXPECT_GT(channelMean(eight, c), 20.0) << "a real picture, not an empty buffer";
        EXPECT_NEAR(channelMean(sixteen, c), channelMean(eight, c), 1.5) << "channel " << c;
    }
    EXPECT_GT(correlation(eight, sixteen), 0.99);
}

TEST_F(LibRawDngTest, StopsShiftBrightnessAndTheDarkerCopyClipsLess)
{
    const Decoded dark = decode(RawEngine::LibRaw, "-6 -w", dng, -1);
    const Decoded normal = decode(RawEngine::LibRaw, "-6 -w", dng, 0);
    const Decoded bright = decode(RawEngine::LibRaw, "-6 -w", dng, 2);
    ASSERT_TRUE(dark.status.ok() && normal.status.ok() && bright.status.ok());
    EXPECT_LT(channelMean(dark, 1) + 10, channelMean(normal, 1));
    EXPECT_LT(channelMean(normal, 1) + 10, channelMean(bright, 1));
    EXPECT_LE(clippedPixels(dark), clippedPixels(normal));
    EXPECT_GT(clippedPixels(bright), clippedPixels(normal));
}

// A camera held upright: both engines turn the picture and classify it at the
// turned size, which the decode then fills exactly.
TEST_F(LibRawDngTest, TurnedAndMonochromeShotsKeepTheirShape)
{
    const std::string upright = dir.file("upright.dng");
    TestDngOptions turned;
    turned.orientation = 6;
    ASSERT_TRUE(writeTestDng(upright, turned));
    const Decoded lying = decode(RawEngine::LibRaw, "", dng);
    std::vector<const Decoded*> engines;
    const Decoded viaLibRaw = decode(RawEngine::LibRaw, "", upright);
    engines.push_back(&viaLibRaw);
    Decoded viaDcraw;
    if (programOnPath("dcraw")) {
        viaDcraw = decode(RawEngine::Dcraw, "-6", upright);  // its 16-bit TIFF read back
        engines.push_back(&viaDcraw);
    }
    for (const Decoded* d : engines) {
        ASSERT_TRUE(d->status.ok()) << d->status.consoleText() << d->output;
        EXPECT_EQ(d->info.region.width, 48);
        EXPECT_EQ(d->info.region.height, 64);
        // The scene's luminance ramp runs left to right in the file: top to
        // bottom once turned a quarter clockwise.
        const auto green = [&](int x, int y) { return d->sample((size_t(y) * 48 + size_t(x)) * 3 + 1); };
        EXPECT_LT(green(24, 4), green(24, 59));
        EXPECT_NEAR(double(green(4, 32)), double(green(43, 32)), 0.25 * green(24, 32));
    }
    if (engines.size() == 2) {
        EXPECT_NEAR(channelMean(viaLibRaw, 1), channelMean(viaDcraw, 1), 4.0);
    }
    EXPECT_NEAR(channelMean(viaLibRaw, 1), channelMean(lying, 1), 1.0);

    // A grey sensor gives the same grey in all three channels.
    TestDngOptions grey;
    grey.monochrome = true;
    ASSERT_TRUE(writeTestDng(dir.file("grey.dng"), grey));
    for (const char* args : {"", "-6"}) {
        const Decoded d = decode(RawEngine::LibRaw, args, dir.file("grey.dng"));
        ASSERT_TRUE(d.status.ok()) << d.status.consoleText() << d.output;
        size_t differing = 0;
        for (size_t i = 0; i < d.count(); ++i)
            differing += d.sample(i * 3) != d.sample(i * 3 + 1) || d.sample(i * 3 + 2) != d.sample(i * 3 + 1);
        EXPECT_EQ(differing, 0u) << args;
        EXPECT_LT(d.sample(3 * (20 * 64 + 2) + 1), d.sample(3 * (20 * 64 + 60) + 1)) << args;
    }
}

TEST_F(LibRawDngTest, CorruptFilesAreRefusedNamingThemWithEitherEngine)
{
    const std::string broken = dir.file("broken.cr2");
    writeFile(broken, "garbage, not a camera file");
    for (RawEngine engine : {RawEngine::LibRaw, RawEngine::Dcraw}) {
        SCOPED_TRACE(engine == RawEngine::LibRaw ? "libraw" : "dcraw");
        const Decoded d = decode(engine, "", broken);
        const std::string why = engine == RawEngine::LibRaw ? "LibRaw cannot read it"
                                : programOnPath("dcraw")    ? "neither dcraw nor LibRaw can read it"
                                                            : "dcraw not found, and LibRaw cannot read it";
        EXPECT_TRUE(failedWith(d.status, kExitIoError,
                               "Cannot determine RAW file dimensions of " + broken + ": " + why + "\n"))
            << d.output;
        EXPECT_NE(d.output.find("LibRaw cannot decode RAW file " + broken + ": "), std::string::npos) << d.output;
        EXPECT_FALSE(d.info.known);
    }
    // A DNG cut short: the header reads, the pixels do not.
    const std::string cut = dir.file("cut.dng");
    writeFile(cut, readFile(dng).substr(0, 600));
    const Decoded d = decode(RawEngine::LibRaw, "", cut);
    EXPECT_FALSE(d.status.ok());
    EXPECT_NE((d.output + d.status.consoleText()).find(cut), std::string::npos) << d.output;
}

TEST_F(LibRawDngTest, OptionsLibRawCannotFollowStopTheClassification)
{
    const Decoded d = decode(RawEngine::LibRaw, "-h -w", dng);
    ASSERT_FALSE(d.status.ok());
    EXPECT_EQ(d.status.exitCode(), kExitFatal);
    EXPECT_NE(d.status.consoleText().find("RAW option -h"), std::string::npos);
}

TEST_F(LibRawDngTest, MissingOrFailingDcrawFallsBackWithOneLine)
{
    const Decoded missing = decode(RawEngine::Dcraw, "-6 -w", dng, 0, dir.file("nobin/dcraw"));
    ASSERT_TRUE(missing.status.ok()) << missing.status.consoleText() << missing.output;
    EXPECT_EQ(missing.output, dir.file("nobin/dcraw") + " not found: decoding " + dng +
                                  " with LibRaw\n\nConverting RAW file...\n");
    EXPECT_EQ(missing.info.bitsPerSample, 16);
    EXPECT_GT(distinctLevels(missing, 1), 256u);
    const Decoded direct = decode(RawEngine::LibRaw, "-6 -w", dng);
    EXPECT_EQ(missing.pixels, direct.pixels);

    // A converter that runs but cannot read the file.
    const std::string failing = dir.file("failing");
    writeFile(failing, "#!/bin/sh\necho 'Cannot decode file' >&2\nexit 1\n");
    chmod(failing.c_str(), 0755);
    const Decoded refused = decode(RawEngine::Dcraw, "", dng, 0, failing);
    ASSERT_TRUE(refused.status.ok()) << refused.status.consoleText();
    EXPECT_EQ(refused.output.find(failing + " cannot decode " + dng + ": decoding it with LibRaw\n"), 0u)
        << refused.output;

    // The choice is made once per file: a second classification says nothing.
    TestRun testRun;
    FusionRun& run = *testRun;
    run.settings.converterPath = dir.file("nobin/dcraw");
    ImageInfo info;
    std::string first = captureOutput([&] { ASSERT_TRUE(queryImageInfo(run, dng, info).ok()); });
    std::string second = captureOutput([&] { ASSERT_TRUE(queryImageInfo(run, dng, info).ok()); });
    EXPECT_FALSE(first.empty());
    EXPECT_EQ(second, "");
    EXPECT_TRUE(decodedInProcess(run, dng));
    EXPECT_FALSE(decodedInProcess(run, dir.file("other.dng")));
}

TEST_F(LibRawDngTest, DescriptionFromEitherEngine)
{
    TestRun testRun;
    RunSettings& settings = testRun->settings;
    settings.rawEngine = RawEngine::LibRaw;
    int rc = 1;
    std::string text = captureOutput([&] { rc = describeRaw(settings, testRun->console, dng); });
    EXPECT_EQ(rc, 0);
    for (const char* line : {"Camera: Quovix Test Sensor\n", "Output size: 64 x 48\n", "ISO speed: "})
        EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;

    const std::string broken = dir.file("broken.nef");
    writeFile(broken, "not raw");
    text = captureOutput([&] { rc = describeRaw(settings, testRun->console, broken); });
    EXPECT_EQ(rc, -1);
    EXPECT_NE(text.find("LibRaw cannot decode RAW file " + broken), std::string::npos) << text;

    settings.rawEngine = RawEngine::Dcraw;
    settings.converterPath = dir.file("nobin/dcraw");
    text = captureOutput([&] { rc = describeRaw(settings, testRun->console, dng); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(text.find(settings.converterPath + " not found: decoding " + dng + " with LibRaw\n"), 0u) << text;
    EXPECT_NE(text.find("Output size: 64 x 48\n"), std::string::npos) << text;
}

// A 16-bit RAW bracket fuses into a 16-bit TIFF in one step with LibRaw.
TEST_F(LibRawDngTest, SixteenBitBracketFusesToSixteenBits)
{
    std::vector<std::string> inputs;
    for (double exposure : {0.35, 1.0, 2.8}) {
        inputs.push_back(dir.file("bracket" + std::to_string(inputs.size()) + ".dng"));
        ASSERT_TRUE(writeTestDng(inputs.back(), {64, 48, exposure}));
    }
    Options options = testOptions(dir.path());
    options.rawEngine = RawEngine::LibRaw;
    options.converterArgs = "-6 -w";
    const std::string out = dir.file("fused.tif");
    FuseResult result;
    captureOutput([&] { result = fuse(options, inputs, out); });
    ASSERT_TRUE(result.ok()) << result.error;
    TIFF* tif = TIFFOpen(out.c_str(), "r");
    ASSERT_NE(tif, nullptr);
    uint16_t bits = 0, samples = 0;
    uint32_t width = 0, height = 0;
    TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetField(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    std::set<uint16_t> greens;
    std::vector<uint16_t> row(size_t(width) * samples);
    for (uint32_t y = 0; y < height && bits == 16; ++y) {
        ASSERT_EQ(TIFFReadScanline(tif, row.data(), y, 0), 1);
        for (uint32_t x = 0; x < width; ++x)
            greens.insert(row[size_t(x) * samples + 1]);
    }
    TIFFClose(tif);
    EXPECT_EQ(bits, 16);
    EXPECT_EQ(width, 64u);
    EXPECT_EQ(height, 48u);
    EXPECT_GT(greens.size(), 256u);
}

// ---- the bundled Canon file -------------------------------------------------

// Each conversion of the 8-megapixel file costs about a second: they are made
// once for the suite, side by side, with the quickest interpolation.
class BundledCanonTest : public ::testing::Test {
protected:
    struct Conversions {
        Decoded dcraw16, libraw16, libraw8, libraw8Dark;
        bool haveDcraw = false;
    };
    static void SetUpTestSuite()
    {
#if defined(__SANITIZE_ADDRESS__)
        return;
#endif
        const std::string cr2 = sourceDir() + "/examples/raw_canon/IMG_5952.CR2";
        if (!fileExists(cr2))
            return;
        all = std::make_unique<Conversions>();
        const std::string eight = "-q 0 -w -H 2";
        const std::string sixteen = "-q 0 -w -H 2 -6";
        all->haveDcraw = programOnPath("dcraw");
        Conversions& c = *all;
        std::vector<std::thread> threads;
        if (c.haveDcraw)
            threads.emplace_back([&] { c.dcraw16 = decode(RawEngine::Dcraw, sixteen, cr2); });
        threads.emplace_back([&] { c.libraw16 = decode(RawEngine::LibRaw, sixteen, cr2); });
        threads.emplace_back([&] { c.libraw8 = decode(RawEngine::LibRaw, eight, cr2); });
        threads.emplace_back([&] { c.libraw8Dark = decode(RawEngine::LibRaw, eight, cr2, -2); });
        for (std::thread& t : threads)
            t.join();
    }
    static void TearDownTestSuite() { all.reset(); }
    void SetUp() override
    {
#if defined(__SANITIZE_ADDRESS__)
        GTEST_SKIP() << "the generated DNGs run the same code under the sanitizer; 8 MP conversions only add minutes";
#endif
        if (!all)
            GTEST_SKIP() << "examples/raw_canon/IMG_5952.CR2 is missing";
        for (const Decoded* d : {&all->libraw16, &all->libraw8, &all->libraw8Dark})
            ASSERT_TRUE(d->status.ok()) << d->status.consoleText() << d->output;
        if (all->haveDcraw) {
            ASSERT_TRUE(all->dcraw16.status.ok()) << all->dcraw16.status.consoleText() << all->dcraw16.output;
        }
    }
    static std::unique_ptr<Conversions> all;
};

std::unique_ptr<BundledCanonTest::Conversions> BundledCanonTest::all;

TEST_F(BundledCanonTest, SixteenBitConversionsCarryMoreThan256Levels)
{
    std::vector<const Decoded*> sixteen{&all->libraw16};
    if (all->haveDcraw)
        sixteen.push_back(&all->dcraw16);
    for (const Decoded* d : sixteen) {
        EXPECT_EQ(d->info.bitsPerSample, 16);
        EXPECT_EQ(d->info.region.width, 3522);
        EXPECT_EQ(d->info.region.height, 2348);
        for (int c = 0; c < 3; ++c)
            EXPECT_GT(distinctLevels(*d, c), 1024u) << "channel " << c;
    }
    EXPECT_LE(distinctLevels(all->libraw8, 1), 256u);
    EXPECT_TRUE(isIccProfile(all->libraw16.profile));
    if (all->haveDcraw) {
        EXPECT_TRUE(isIccProfile(all->dcraw16.profile));
    }
}

TEST_F(BundledCanonTest, EnginesAgreeClosely)
{
    if (!all->haveDcraw)
        GTEST_SKIP() << "dcraw is not installed on PATH";
    const Decoded& a = all->dcraw16;
    const Decoded& b = all->libraw16;
    ASSERT_EQ(a.info.region.width, b.info.region.width);
    ASSERT_EQ(a.info.region.height, b.info.region.height);
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(channelMean(a, c), channelMean(b, c), 4.0) << "channel " << c;
    EXPECT_GE(correlation(a, b), 0.98);
}

TEST_F(BundledCanonTest, EightBitsAreTheSixteenBitPictureRounded)
{
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(channelMean(all->libraw8, c), channelMean(all->libraw16, c), 1.5) << "channel " << c;
    EXPECT_GE(correlation(all->libraw8, all->libraw16), 0.99);
}

TEST_F(BundledCanonTest, DarkerCopyKeepsTheSkysHighlights)
{
    const size_t normal = clippedPixels(all->libraw8);
    const size_t dark = clippedPixels(all->libraw8Dark);
    EXPECT_GT(normal, all->libraw8.count() / 1000) << "the normal conversion clips part of the sky";
    EXPECT_LT(dark * 10, normal);
    EXPECT_LT(channelMean(all->libraw8Dark, 1) + 20, channelMean(all->libraw8, 1));
}

} // namespace
